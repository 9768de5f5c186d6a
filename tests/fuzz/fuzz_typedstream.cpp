// The archived message body decoder on arbitrary bytes. Whatever it returns
// must be UTF-8 lying inside the input, so a decoder that read past the blob
// or returned bytes it did not check aborts.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "core/utf8.h"
#include "extract/typedstream.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A copy of exactly `size` bytes: a read past it is a heap overflow the
    // sanitizer build reports.
    const std::vector<std::uint8_t> blob(data, data + size);
    const auto text = salvor::typedstream::attributedText(std::span<const std::uint8_t>(blob.data(), blob.size()));
    if (!text) return 0;
    if (text->size() >= size || !salvor::utf8::isValid(*text)) std::abort();
    const std::string all(blob.begin(), blob.end());
    if (all.find(*text) == std::string::npos) std::abort();
    return 0;
}

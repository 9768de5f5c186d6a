// The note body path on arbitrary bytes: inflate with a small output limit,
// the protocol-buffer walker on the input itself (as an already inflated
// document) and on what inflated. A result larger than the limit, a field
// found outside the bytes walked, or text that is not UTF-8 aborts.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "core/utf8.h"
#include "extract/note_body.h"

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

void walk(std::span<const std::uint8_t> doc) {
    (void)salvor::notebody::countFields(doc);
    for (const auto& path : {std::initializer_list<std::uint32_t>{2, 3, 2}, std::initializer_list<std::uint32_t>{1},
                             std::initializer_list<std::uint32_t>{2, 3, 5, 2, 1}}) {
        const auto found = salvor::notebody::findBytes(doc, path);
        if (!found) continue;
        check(found->data() >= doc.data() && found->data() + found->size() <= doc.data() + doc.size());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::uint8_t> input(data, data + size);
    walk(input);
    constexpr std::size_t kLimit = 1 << 20;
    const auto inflated = salvor::notebody::gunzip(input, kLimit);
    if (inflated) {
        check(inflated->size() <= kLimit);
        walk(*inflated);
    }
    if (const auto text = salvor::notebody::noteText(input)) check(salvor::utf8::isValid(*text));
    return 0;
}

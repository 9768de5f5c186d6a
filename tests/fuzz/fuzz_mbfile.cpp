// The MBFile archive decoder on arbitrary bytes: it never crashes or loops,
// what it returns stays within what the input can hold, and reading the
// archive in place answers as the general property-list reader does.
#include <cstdint>
#include <cstdlib>

#include "backup/mbfile.h"

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto attributes = salvor::decodeMBFile(data, size);
    check(attributes == salvor::decodeMBFileGeneral(data, size));
    if (!attributes) return 0;
    // Every text comes out of the input: at most 3 UTF-8 bytes for each
    // 2-byte UTF-16 unit it was stored as.
    if (attributes->relativePath) check(attributes->relativePath->size() <= 2 * size);
    if (attributes->target) check(attributes->target->size() <= 2 * size);
    // Decoding twice gives the same answer: nothing depends on earlier calls.
    const auto again = salvor::decodeMBFile(data, size);
    check(again && again->mode == attributes->mode && again->size == attributes->size &&
          again->relativePath == attributes->relativePath);
    return 0;
}

// The manifest reader on arbitrary bytes, read straight from memory, and the
// stored name of every record it returns.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "backup/manifest.h"
#include "backup/mbdb_reader.h"

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    salvor::MbdbReader reader;
    reader.openBytes(data, size);
    if (!reader.readMagic()) return 0;
    check(reader.position() == 6 && reader.size() == size);

    // Five string lengths and the attribute block: no record is shorter.
    constexpr std::uint64_t kMinRecord = 5 * 2 + salvor::MbdbReader::kAttributeBlockSize;
    salvor::StoredNameHasher hasher;
    salvor::MbdbRecord record;
    std::size_t records = 0;
    char hex[41];
    for (;;) {
        const std::uint64_t before = reader.position();
        if (!reader.next(record)) {
            // A refused record leaves the position at its start, and the list stays ended.
            check(reader.position() == before && !reader.next(record) && reader.position() == before);
            break;
        }
        ++records;
        check(reader.position() >= before + kMinRecord && reader.position() <= size);
        // Texts come out of the input, stop at the first NUL and fit a 16-bit length.
        check(record.domain.size() < 0xFFFF && record.path.size() < 0xFFFF);
        check(std::memchr(record.domain.data(), 0, record.domain.size()) == nullptr);
        check(std::memchr(record.path.data(), 0, record.path.size()) == nullptr);
        check(hasher.name(record.domain, record.path, hex) && std::strlen(hex) == 40);
    }
    check(records <= (size - 6) / kMinRecord);
    return 0;
}

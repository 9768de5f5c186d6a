// The carving engine over any bytes taken as a database, its write-ahead log
// and its rollback journal: [u32 LE length][database][u32 LE length][log]
// [journal: the rest]; a length past the input takes what is left. Each part
// is copied into a buffer of exactly its size so that a read past one is
// caught by the sanitizers, every byte of every page image the engine offers
// is read, and what the carving reports is checked for shape.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "carve/sqlite_image.h"
#include "carve/table_carver.h"

namespace {

namespace carve = salvor::carve;

void check(bool ok) {
    if (!ok) std::abort();
}

// The next part of the input: a 4-byte length, then that many bytes.
std::vector<std::uint8_t> take(const std::uint8_t*& data, std::size_t& size) {
    std::uint32_t length = 0;
    const std::size_t head = size < 4 ? size : 4;
    for (std::size_t i = 0; i < head; ++i) length |= std::uint32_t{data[i]} << (8 * i);
    data += head;
    size -= head;
    const std::size_t n = length < size ? length : size;
    std::vector<std::uint8_t> part(data, data + n);
    data += n;
    size -= n;
    return part;
}

bool validKind(const std::string& from) {
    static const std::set<std::string> kinds = {"freeblock", "unallocated", "freelist", "journal",
                                                "superseded-page"};
    if (kinds.contains(from)) return true;
    if (from.rfind("wal-frame-", 0) != 0 || from.size() == 10) return false;
    for (std::size_t i = 10; i < from.size(); ++i)
        if (from[i] < '0' || from[i] > '9') return false;
    return true;
}

void checkRow(const carve::TableCarve& table, const carve::CarvedRow& row, std::uint32_t pageSize, int depth) {
    check(validKind(row.carvedFrom));
    check(row.page >= 1);
    check(row.offset < pageSize);
    check(row.values.size() == table.schema.columns.size());
    std::size_t bytes = 0;
    for (const carve::Value& v : row.values) {
        bytes += carve::valueText(v).size();
        if (v.type != carve::Value::Type::text && v.type != carve::Value::Type::blob) check(v.bytes.empty());
    }
    (void)bytes;
    for (const carve::CarvedRow& earlier : row.earlierVersions) {
        check(earlier.age <= row.age);
        checkRow(table, earlier, pageSize, depth + 1);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::uint8_t> file = take(data, size);
    const std::vector<std::uint8_t> wal = take(data, size);
    const std::vector<std::uint8_t> journal(data, data + size);

    std::string why;
    const auto image = carve::DatabaseImage::open(file, wal, journal, &why);
    if (!image) return 0;
    const std::uint32_t pageSize = image->pageSize();
    check(pageSize >= 512 && pageSize <= 65536 && (pageSize & (pageSize - 1)) == 0);
    check(image->usableSize() <= pageSize && image->usableSize() >= 480);
    check(image->walValidFrames() <= image->walFrames());
    check(image->walCommittedFrames() <= image->walValidFrames());

    // Every stored image of every page, read through: a span that points
    // outside what the engine keeps alive is a sanitizer report here.
    unsigned sum = 0;
    std::uint32_t lastPage = 0;
    for (const carve::PageVersion& v : image->versions()) {
        check(v.page >= 1 && v.page >= lastPage);
        lastPage = v.page;
        check(v.bytes.size() <= pageSize);
        for (const std::uint8_t b : v.bytes) sum += b;
        check(!v.origin.label().empty());
    }
    for (std::uint32_t n = 0; n <= image->pageCount() + 1 && n < 4096; ++n) {
        const auto page = image->currentPage(n);
        check(page.size() <= pageSize);
        if (!page.empty()) sum += page.front() + page.back();
    }
    (void)sum;

    std::vector<std::string> diagnostics;
    const carve::Schema schema = carve::readSchema(*image, &diagnostics);
    for (const carve::TableSchema& t : schema.tables)
        check(t.rowidColumn < static_cast<int>(t.columns.size()) && (!t.withoutRowid || t.rowidColumn < 0));

    const carve::CarveReport report = carve::carveDatabase(*image);
    std::uint64_t deleted = 0;
    for (const carve::TableCarve& table : report.tables) {
        for (const carve::CarvedRow& row : table.deleted) checkRow(table, row, pageSize, 0);
        for (const auto& [id, rows] : table.earlierVersionsOfLive)
            for (const carve::CarvedRow& row : rows) checkRow(table, row, pageSize, 0);
        deleted += table.deleted.size();
    }
    std::uint64_t counted = 0;
    for (const auto& [kind, n] : report.foundIn) counted += n;
    check(counted == deleted);
    return 0;
}

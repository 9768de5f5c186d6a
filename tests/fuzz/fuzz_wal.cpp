// The write-ahead log alone: any bytes taken as the log of a small valid
// database that SQLite builds once (1024-byte pages, a users table with
// deleted rows), and as a log with no database beside it, where the page size
// can only come from the log's own header. The frames the image accepts are
// checked against the log's layout: a 32-byte header, then 24-byte frame
// headers each followed by one page.
#include <sqlite3.h>

#include <cstdint>
#include <cstdlib>
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

void run(sqlite3* db, const char* sql) { check(sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK); }

// The same rows as the seeds' logs were written over.
std::vector<std::uint8_t> buildDatabase() {
    sqlite3* db = nullptr;
    check(sqlite3_open(":memory:", &db) == SQLITE_OK);
    run(db, "PRAGMA page_size=1024");
    run(db, "PRAGMA secure_delete=OFF");
    run(db, "CREATE TABLE users(id INTEGER PRIMARY KEY, name TEXT, note TEXT, score REAL, photo BLOB)");
    run(db, "WITH RECURSIVE n(i) AS (SELECT 20001 UNION ALL SELECT i + 1 FROM n WHERE i < 20005) "
            "INSERT INTO users SELECT i, 'user' || i, CASE WHEN i % 3 = 0 THEN NULL ELSE 'note ' || i END, "
            "i / 2.0, zeroblob(i % 5 + 1) FROM n");
    run(db, "DELETE FROM users WHERE id = 20003");
    sqlite3_int64 size = 0;
    unsigned char* bytes = sqlite3_serialize(db, "main", &size, 0);
    check(bytes != nullptr);
    std::vector<std::uint8_t> out(bytes, bytes + size);
    sqlite3_free(bytes);
    sqlite3_close(db);
    return out;
}

void carveWith(std::span<const std::uint8_t> file, const std::vector<std::uint8_t>& wal) {
    const auto image = carve::DatabaseImage::open(file, wal);
    if (!image) {
        check(file.empty());  // a valid database opens whatever its log holds
        return;
    }
    const std::uint32_t pageSize = image->pageSize();
    check(pageSize >= 512 && pageSize <= 65536 && (pageSize & (pageSize - 1)) == 0);
    check(image->walValidFrames() <= image->walFrames());
    check(image->walCommittedFrames() <= image->walValidFrames());
    // No more frames than whole frames fit in the log.
    if (wal.size() >= 32) check(image->walFrames() <= (wal.size() - 32) / 24);
    else check(image->walFrames() == 0);
    unsigned sum = 0;
    for (const carve::PageVersion& v : image->versions()) {
        check(v.bytes.size() <= pageSize);
        for (const std::uint8_t b : v.bytes) sum += b;
        if (v.origin.kind == carve::PageOrigin::Kind::walFrame) {
            check(v.origin.frame >= 1 && v.origin.frame <= image->walFrames());
            check(v.origin.label() == "wal-frame-" + std::to_string(v.origin.frame));
        }
    }
    (void)sum;
    const carve::CarveReport report = carve::carveDatabase(*image);
    for (const carve::TableCarve& table : report.tables)
        for (const carve::CarvedRow& row : table.deleted) {
            check(row.page >= 1);
            for (const carve::Value& v : row.values) carve::valueText(v);
        }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::vector<std::uint8_t> database = buildDatabase();
    const std::vector<std::uint8_t> wal(data, data + size);
    carveWith(database, wal);
    carveWith({}, wal);
    return 0;
}

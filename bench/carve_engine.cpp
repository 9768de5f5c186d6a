// The table carver against a plain read of the files it carves. SQLite forges
// a database of the given size (300M by default) in a scratch folder: one
// table of short texts and integers, a third of its rows deleted with
// secure_delete off, then in WAL mode a batch of rows inserted and half of
// them deleted again, with the log kept (some tens of MB). Timed, best of
// three: (a) one sequential read of the database and its log into memory,
// (b) DatabaseImage::open and carveDatabase over those bytes; the ratio b / a
// is printed, then the carving's peak memory, measured in a child process,
// against the size of the files.
//
//   bench_carve_engine [SIZE, e.g. 300M or 8M] [WORK_FOLDER]
// SALVOR_BENCH_CARVE_SIZE gives the size when no argument does (CI runs it small).
#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "carve/sqlite_image.h"
#include "carve/table_carver.h"
#include "peak_memory.h"
#include "platform/log.h"
#include "size_argument.h"

namespace {

namespace fs = std::filesystem;
namespace carve = salvor::carve;

// Bytes a row takes in the file, roughly: a short title, a body, four integers.
constexpr std::uint64_t kRowBytes = 120;

void exec(sqlite3* db, const std::string& sql) {
    char* err = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
        const std::string message = err ? err : "error";
        sqlite3_free(err);
        throw std::runtime_error(message + " in: " + sql);
    }
}

// Inserts rows first .. first + count - 1, a transaction per 50,000 rows.
void insertRows(sqlite3* db, std::int64_t first, std::int64_t count) {
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, "INSERT INTO events VALUES (?, ?, ?, ?, ?, ?)", -1, &st, nullptr) != SQLITE_OK)
        throw std::runtime_error(sqlite3_errmsg(db));
    char title[64], body[128];
    for (std::int64_t i = 0; i < count; ++i) {
        if (i % 50000 == 0) exec(db, "BEGIN");
        const std::int64_t id = first + i;
        std::snprintf(title, sizeof title, "event %lld of kind %lld", static_cast<long long>(id),
                      static_cast<long long>(id % 97));
        std::snprintf(body, sizeof body, "%lld: something happened at place %lld, noted by person %lld",
                      static_cast<long long>(id), static_cast<long long>(id * 7919 % 100003),
                      static_cast<long long>(id % 4099));
        sqlite3_reset(st);
        sqlite3_bind_int64(st, 1, id);
        sqlite3_bind_int64(st, 2, id % 97);
        sqlite3_bind_int64(st, 3, (id * 2654435761LL) % 1000000007LL);
        sqlite3_bind_text(st, 4, title, -1, SQLITE_STATIC);
        sqlite3_bind_text(st, 5, body, -1, SQLITE_STATIC);
        sqlite3_bind_int64(st, 6, 1300000000 + id * 13);
        if (sqlite3_step(st) != SQLITE_DONE) throw std::runtime_error(sqlite3_errmsg(db));
        if (i % 50000 == 49999 || i + 1 == count) exec(db, "COMMIT");
    }
    sqlite3_finalize(st);
}

void forge(const std::string& path, std::uint64_t size) {
    const auto rows = static_cast<std::int64_t>(std::max<std::uint64_t>(size / kRowBytes, 1000));
    sqlite3* db = nullptr;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) throw std::runtime_error("cannot create " + path);
    exec(db, "PRAGMA page_size=4096");
    exec(db, "PRAGMA secure_delete=OFF");
    exec(db, "PRAGMA journal_mode=OFF");  // the bulk needs no journal
    exec(db, "CREATE TABLE events(id INTEGER PRIMARY KEY, kind INTEGER, amount INTEGER, title TEXT, body TEXT, "
             "at INTEGER)");
    insertRows(db, 1, rows);
    exec(db, "DELETE FROM events WHERE id % 3 = 1");
    // The log: a twentieth of the size in new rows, then half of them deleted.
    exec(db, "PRAGMA journal_mode=WAL");
    exec(db, "PRAGMA wal_autocheckpoint=0");
    sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    insertRows(db, rows + 1, rows / 20);
    exec(db, "DELETE FROM events WHERE id > " + std::to_string(rows) + " AND id % 2 = 0");
    sqlite3_close(db);
}

std::vector<std::uint8_t> readWhole(const std::string& path) {
    std::vector<std::uint8_t> bytes;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return bytes;
    bytes.resize(static_cast<std::size_t>(fs::file_size(path)));
    std::size_t got = 0;
    while (got < bytes.size()) {
        const ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    bytes.resize(got);
    return bytes;
}

// Seconds of the fastest of three runs.
double bestOfThree(const std::function<void()>& work) {
    double best = 1e300;
    for (int i = 0; i < 3; ++i) {
        const auto start = std::chrono::steady_clock::now();
        work();
        best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    salvor::log::setSink([](salvor::log::Level, const std::string&) {});
    const char* fromEnv = std::getenv("SALVOR_BENCH_CARVE_SIZE");
    const std::uint64_t size = bench_args::parseSize(argc > 1 ? argv[1] : fromEnv ? fromEnv : "300M");
    const fs::path work = argc > 2 ? fs::path(argv[2]) : fs::temp_directory_path() / "salvor-bench-carve-engine";
    if (size == 0) {
        std::fprintf(stderr, "usage: bench_carve_engine [database size, e.g. 300M or 8M] [work folder]\n");
        return 2;
    }
    fs::remove_all(work);
    fs::create_directories(work);
    const std::string db = (work / "events.db").string(), wal = db + "-wal";
    try {
        forge(db, size);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "cannot forge the database: %s\n", e.what());
        fs::remove_all(work);
        return 1;
    }
    const double dbMiB = static_cast<double>(fs::file_size(db)) / (1 << 20);
    const double walMiB = fs::exists(wal) ? static_cast<double>(fs::file_size(wal)) / (1 << 20) : 0;
    std::printf("database %.1f MiB, write-ahead log %.1f MiB\n", dbMiB, walMiB);

    std::vector<std::uint8_t> file, log;
    const double readSeconds = bestOfThree([&] {
        file = readWhole(db);
        log = readWhole(wal);
    });

    if (!carve::DatabaseImage::open(file, log)) {
        std::fprintf(stderr, "the engine did not open the forged database\n");
        fs::remove_all(work);
        return 1;
    }
    std::uint64_t deleted = 0;
    std::string summary;
    const double carveSeconds = bestOfThree([&] {
        const auto image = carve::DatabaseImage::open(file, log);
        const carve::CarveReport report = carve::carveDatabase(*image);
        deleted = 0;
        for (const auto& t : report.tables) deleted += t.deleted.size();
        summary.clear();
        for (const auto& [kind, n] : report.foundIn) summary += " " + kind + " " + std::to_string(n);
    });
    std::printf("deleted records carved: %llu (%s )\n", static_cast<unsigned long long>(deleted), summary.c_str());
    std::printf("read of the files: %.3f s, open + carve: %.3f s, ratio %.1fx\n", readSeconds, carveSeconds,
                carveSeconds / readSeconds);

    const long growth = bench_memory::peakGrowthKiB([&] {
        const auto image = carve::DatabaseImage::open(file, log);
        if (image) (void)carve::carveDatabase(*image);
    });
    const double files = dbMiB + walMiB;
    if (growth < 0)
        std::printf("carving: peak memory not measurable here\n");
    else
        std::printf("carving: peak memory +%.1f MiB over the %.1f MiB of files held in memory (%.2fx their size)\n",
                    static_cast<double>(growth) / 1024.0, files, static_cast<double>(growth) / 1024.0 / files);
    fs::remove_all(work);
    return 0;
}

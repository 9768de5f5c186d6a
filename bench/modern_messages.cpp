// Extraction of 500,000 messages from an sms.db of the iOS 16 layout (every
// other one with its text only in the archived body), as a scan runs the
// stage: private copy and its preparation, lookup tables, records, events.
// Beside it the same statements through SQLite alone, on the stored file.
// Prints the time ratio and the peak memory of each, measured in a child
// process per side.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "core/record_collector.h"
#include "core/record_collector.h"
#include "core/scan_context.h"
#include "extract/modern_messages.h"
#include "forge/forge.h"
#include "forge/modern_sms.h"
#include "peak_memory.h"
#include "platform/log.h"
#include "ratio_reporter.h"

namespace {

namespace fs = std::filesystem;
using namespace salvor;

constexpr const char* kDomain = "HomeDomain";
constexpr const char* kPath = "Library/SMS/sms.db";

struct Fixture {
    std::string root;
    std::string backup;
    std::string stored;  // the sms.db inside the backup folder
    std::uint64_t messages = 500000;

    Fixture() {
        if (const char* n = std::getenv("SALVOR_BENCH_MESSAGES")) messages = std::strtoull(n, nullptr, 10);
        std::string tmpl = (fs::temp_directory_path() / "salvor-bench-modern-sms-XXXXXX").string();
        if (!::mkdtemp(tmpl.data())) throw std::runtime_error("cannot create a scratch folder");
        root = tmpl;
        backup = root + "/backup";
        const std::string name = forge::storedName(kDomain, kPath);
        fs::create_directories(backup + "/" + name.substr(0, 2));
        stored = backup + "/" + name.substr(0, 2) + "/" + name;
        nlohmann::json truth;
        // The writer's own messages come on top of the bulk: the total is what was asked for.
        const std::uint64_t own = 17;
        forge::writeModernSms(stored, 17, 11, truth, nullptr, messages > own ? messages - own : 0);
    }
    ~Fixture() {
        std::error_code ec;
        fs::remove_all(root, ec);
    }
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

// The stage as a scan runs it after the manifest stage listed the database.
std::size_t extract(const Fixture& f) {
    RecordCollector sink;
    ScanContext ctx(sink, f.backup);
    ctx.modernFormat = true;
    auto node = std::make_shared<MVTreeDirNode>();
    node->fileDomain = std::string(kDomain);
    node->filePath = std::string(kPath);
    node->fileKey = f.stored;
    ctx.treeFileArray.push_back(node);
    scanModernMessages(ctx, f.backup);
    const std::size_t records = sink.messages.size() + sink.deletedMessages.size();
    return records;
}

// Steps a statement to its end, touching every column in its own type.
std::size_t drain(sqlite3* db, const char* sql) {
    sqlite3_stmt* st = nullptr;
    std::size_t rows = 0;
    if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) == SQLITE_OK) {
        std::size_t bytes = 0;
        while (sqlite3_step(st) == SQLITE_ROW) {
            for (int c = 0; c < sqlite3_column_count(st); ++c) {
                if (sqlite3_column_type(st, c) == SQLITE_BLOB)
                    benchmark::DoNotOptimize(sqlite3_column_blob(st, c));
                else
                    benchmark::DoNotOptimize(sqlite3_column_text(st, c));
                bytes += static_cast<std::size_t>(sqlite3_column_bytes(st, c));
            }
            ++rows;
        }
        benchmark::DoNotOptimize(bytes);
    }
    sqlite3_finalize(st);
    return rows;
}

// The statements the stage runs, through SQLite and nothing else.
std::size_t readWithSqlite(const Fixture& f) {
    sqlite3* db = nullptr;
    const std::string uri = "file:" + f.stored + "?mode=ro&immutable=1";
    std::size_t rows = 0;
    if (sqlite3_open_v2(uri.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr) == SQLITE_OK) {
        drain(db, "SELECT handle.ROWID, handle.id FROM handle");
        drain(db, "SELECT chat.ROWID, chat.display_name FROM chat");
        drain(db, "SELECT chat_handle_join.chat_id, chat_handle_join.handle_id FROM chat_handle_join");
        drain(db, "SELECT chat_message_join.message_id, chat_message_join.chat_id FROM chat_message_join");
        drain(db, "SELECT chat_recoverable_message_join.message_id, chat_recoverable_message_join.chat_id "
                  "FROM chat_recoverable_message_join");
        drain(db, "SELECT attachment.ROWID, attachment.filename FROM attachment");
        drain(db, "SELECT message_attachment_join.message_id, message_attachment_join.attachment_id "
                  "FROM message_attachment_join");
        rows = drain(db, "SELECT message.ROWID, message.text, message.attributedBody, message.handle_id, message.date, "
                         "message.is_from_me, message.service, message.cache_has_attachments, message.item_type, "
                         "message.associated_message_type FROM message");
    }
    sqlite3_close(db);
    return rows;
}

void BM_ModernMessages(benchmark::State& state) {
    std::size_t n = 0;
    for (auto _ : state) n = extract(fixture());
    state.counters["messages"] = static_cast<double>(n);
}

void BM_SqliteAlone(benchmark::State& state) {
    std::size_t n = 0;
    for (auto _ : state) n = readWithSqlite(fixture());
    state.counters["rows"] = static_cast<double>(n);
}

BENCHMARK(BM_ModernMessages)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SqliteAlone)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    log::setSink([](log::Level, const std::string&) {});
    benchmark::Initialize(&argc, argv);
    try {
        fixture();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "cannot forge the benchmark database: %s\n", e.what());
        return 1;
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    // Wall-clock time: the stage's private copy is written by the system, not on this thread's CPU time.
    const auto stage = reporter.real.find("BM_ModernMessages");
    const auto bare = reporter.real.find("BM_SqliteAlone");
    if (stage != reporter.real.end() && bare != reporter.real.end() && bare->second > 0)
        std::printf("sms.db of %llu messages: extraction / SQLite alone (real): %.1f ms / %.1f ms = %.2fx\n",
                    static_cast<unsigned long long>(fixture().messages), stage->second, bare->second,
                    stage->second / bare->second);
    const Fixture& f = fixture();
    const long stageKiB = bench_memory::peakGrowthKiB([&] { benchmark::DoNotOptimize(extract(f)); });
    const long sqliteKiB = bench_memory::peakGrowthKiB([&] { benchmark::DoNotOptimize(readWithSqlite(f)); });
    std::error_code ec;
    const double dbMiB = static_cast<double>(fs::file_size(f.stored, ec)) / 1048576.0;
    if (stageKiB < 0 || sqliteKiB < 0)
        std::printf("peak memory not measurable here\n");
    else
        std::printf("peak memory for a %.1f MiB sms.db: extraction +%.1f MiB, SQLite alone +%.1f MiB\n", dbMiB,
                    static_cast<double>(stageKiB) / 1024.0, static_cast<double>(sqliteKiB) / 1024.0);
    benchmark::Shutdown();
    return 0;
}

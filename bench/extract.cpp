// Live extraction against SQLite alone: a forged message database of 100,000
// messages and an address book of 5,000 contacts are read once by the
// extractors (copy, preparation, records, name lookups, events included) and
// once by running the same statements through SQLite with nothing else, and
// the ratio of the two is printed at the end.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <string>

#include "ratio_reporter.h"
#include "core/scan_context.h"
#include "core/record_collector.h"
#include "extract/extractors.h"
#include "forge/forge.h"
#include "platform/dispatcher.h"
#include "platform/log.h"

namespace {

namespace fs = std::filesystem;
using namespace salvor;

constexpr const char* kAddressBook = "31bb7ba8914766d4ba40d6dfb6113c8b614be442";
constexpr const char* kImages = "cd6702cea29fe89cf280a76794405adb17f9a0ee";
constexpr const char* kSms = "3d0d7e5fb2ce288813306e4d4636395e047a3d28";

struct Store {
    std::string root;
    std::string backup;
    ~Store() {
        std::error_code ec;
        if (!root.empty()) fs::remove_all(root, ec);
    }
};

Store& store() {
    static Store s = [] {
        Store out;
        std::string templ = (fs::temp_directory_path() / "salvor-bench-extract-XXXXXX").string();
        if (::mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        out.root = templ;
        forge::ForgeOptions options;
        options.scenario = "bench-messages";
        options.scale.messages = 100000;
        options.scale.conversations = 400;
        options.scale.contacts = 5000;
        options.scale.deletedPercent = 0;
        const auto backups = forge::forgeStore(out.root + "/store", options);
        if (backups.empty()) throw std::runtime_error("the forge made no backup");
        out.backup = backups.front().path;
        return out;
    }();
    return s;
}

// Steps a statement to its end, touching every column as text.
std::size_t drain(sqlite3* db, const char* sql, std::int64_t bind = INT64_MIN) {
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) != SQLITE_OK) return 0;
    if (bind != INT64_MIN) sqlite3_bind_int64(st, 1, bind);
    std::size_t bytes = 0;
    while (sqlite3_step(st) == SQLITE_ROW) {
        for (int c = 0; c < sqlite3_column_count(st); ++c) {
            const unsigned char* t = sqlite3_column_text(st, c);
            bytes += t ? static_cast<std::size_t>(sqlite3_column_bytes(st, c)) : 0;
        }
    }
    sqlite3_finalize(st);
    return bytes;
}

sqlite3* openReadOnly(const std::string& path) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return nullptr;
    }
    return db;
}

struct Controller {
    RecordCollector sink;
    ScanContext ctx{sink};
    std::size_t records = 0;
    Controller() {
        sink.onDelivery = [this](const std::string& kind) {
            if (kind == "contact" || kind == "message") ++records;
            // Only counted: a benchmark that keeps every record would measure the keeping.
            sink.contacts.clear();
            sink.messages.clear();
        };
    }
};

void BM_ExtractContacts(benchmark::State& state) {
    const std::string backup = store().backup;
    for (auto _ : state) {
        Controller c;
        scanContacts(c.ctx, backup);
        benchmark::DoNotOptimize(c.records);
        state.counters["contacts"] = static_cast<double>(c.records);
    }
}

void BM_SqliteContacts(benchmark::State& state) {
    const std::string backup = store().backup;
    for (auto _ : state) {
        sqlite3* images = openReadOnly(backup + "/" + kImages);
        benchmark::DoNotOptimize(drain(images, "select record_id, data from ABFullSizeImage"));
        sqlite3_close(images);
        sqlite3* db = openReadOnly(backup + "/" + kAddressBook);
        std::vector<std::int64_t> rowids;
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db,
                           "select DISTINCT Rowid, first, Department,DisplayName,firstPhonetic,jobTitle,organization,"
                           "middle,middlePhonetic,CreationDate,Last,Note,Nickname,prefix, suffix, Birthday from abperson ",
                           -1, &st, nullptr);
        while (sqlite3_step(st) == SQLITE_ROW) {
            for (int col = 1; col < sqlite3_column_count(st); ++col) benchmark::DoNotOptimize(sqlite3_column_text(st, col));
            rowids.push_back(sqlite3_column_int64(st, 0));
        }
        sqlite3_finalize(st);
        for (std::int64_t id : rowids)
            benchmark::DoNotOptimize(drain(db, "select property,label,value, UID from abmultivalue where record_id = ? ", id));
        sqlite3_close(db);
    }
}

void BM_ExtractMessages(benchmark::State& state) {
    const std::string backup = store().backup;
    Controller c;
    scanContacts(c.ctx, backup);  // the contacts that names are looked up in
    c.ctx.currentNodeIsiOS6Version = true;
    for (auto _ : state) {
        c.records = 0;
        c.ctx.messageAttachments.clear();
        c.ctx.chatMessageArray.clear();
        scanMessages(c.ctx, backup);
        state.counters["messages"] = static_cast<double>(c.records);
    }
}

void BM_SqliteMessages(benchmark::State& state) {
    const std::string backup = store().backup;
    for (auto _ : state) {
        sqlite3* db = openReadOnly(backup + "/" + kSms);
        benchmark::DoNotOptimize(drain(
            db, "select message_attachment_join.message_id, message_attachment_join.attachment_id,"
                "message_attachment_join.attachment_id,attachment.ROWID,attachment.filename from attachment left join  "
                "message_attachment_join on  attachment.ROWID= message_attachment_join.attachment_id"));
        benchmark::DoNotOptimize(drain(
            db, "select message.ROWID,message.cache_has_attachments,message.text,message.date,message.handle_id,"
                "handle.id,is_from_me from message left join handle on message.handle_id=handle.ROWID"));
        benchmark::DoNotOptimize(drain(db, "select ROWID, id from handle"));
        sqlite3_close(db);
    }
}

BENCHMARK(BM_ExtractContacts)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_SqliteContacts)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_ExtractMessages)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_SqliteMessages)->Unit(benchmark::kMillisecond)->Iterations(3);

double timeOf(const std::map<std::string, double>& times, const std::string& prefix) {
    for (const auto& [name, t] : times)
        if (name.rfind(prefix, 0) == 0) return t;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    salvor::log::setSink([](salvor::log::Level, const std::string&) {});
    benchmark::Initialize(&argc, argv);
    try {
        store();
    } catch (const std::exception& e) {
        std::cerr << "bench_extract: cannot forge the backup: " << e.what() << "\n";
        return 1;
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    for (const char* what : {"Contacts", "Messages"}) {
        const double extract = timeOf(reporter.real, std::string("BM_Extract") + what);
        const double sqlite = timeOf(reporter.real, std::string("BM_Sqlite") + what);
        if (extract > 0 && sqlite > 0)
            std::printf("%s: extractor / SQLite alone = %.2f\n", what, extract / sqlite);
    }
    benchmark::Shutdown();
    return 0;
}

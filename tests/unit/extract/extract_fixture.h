// Shared set-up of the extractor tests: a controller with an inline
// dispatcher, a temporary backup folder, databases built from the real table
// layouts, and capture of events and diagnostic lines.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <any>
#include <memory>
#include <string>
#include <vector>

#include "core/scan_context.h"
#include "engine/pipeline.h"
#include "core/events.h"
#include "platform/dispatcher.h"
#include "platform/log.h"
#include "support/support.h"

namespace salvor::test {

// Creates a database at `path` from a layout file of the schema folder
// (e.g. "ios6/sms.db.sql", or empty for none) and runs `sql` on it.
inline void makeDb(const std::string& path, const std::string& schema, const std::string& sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    char* err = nullptr;
    // One transaction and no syncing keep the suite fast.
    const std::string all = "PRAGMA synchronous=OFF; BEGIN;\n" + (schema.empty() ? std::string() : readFile(std::string(SALVOR_SCHEMA_DIR) + "/" + schema)) +
                            "\n" + sql + "\nCOMMIT;";
    const int rc = sqlite3_exec(db, all.c_str(), nullptr, nullptr, &err);
    const std::string message = err ? err : "";
    sqlite3_free(err);
    sqlite3_close(db);
    ASSERT_EQ(rc, SQLITE_OK) << message;
}

struct Posted {
    std::string name;
    std::any object;
};

class ExtractTest : public ::testing::Test {
protected:
    NotificationCenter nc;
    ScanContext ctx{nc};
    TempDir backup;
    std::vector<Posted> posted;
    std::vector<std::string> logLines;

    void SetUp() override {
        for (const char* name : {events::ScanContactInfo, events::ScanMessageInfo, events::ScanNoteInfo,
                                 events::ScanCallHistoryInfo, events::scanBookMarkInfo, events::scanCalendarInfo,
                                 events::ScanProgressInfo}) {
            nc.addObserver(name, [this, name](const std::any& o) { posted.push_back({name, o}); });
        }
        log::setSink([this](log::Level, const std::string& line) { logLines.push_back(line); });
    }
    void TearDown() override { log::setSink(nullptr); }

    std::string stored(const std::string& name) const { return backup / name; }

    // Runs a stage as the pipeline does: inside its guard, with its progress value.
    void runPiped(void (*fn)(ScanContext&, const std::string&), const std::string& path) {
        for (const PipelineStage& s : scanPipeline()) {
            if (s.run == fn) return runStage(s, ctx, path);
        }
        ADD_FAILURE() << "not a pipeline stage";
    }

    template <class Ptr>
    std::vector<Ptr> records(const char* event) const {
        std::vector<Ptr> out;
        for (const auto& p : posted)
            if (p.name == event) out.push_back(std::any_cast<Ptr>(p.object));
        return out;
    }
    std::vector<int> progress() const {
        std::vector<int> out;
        for (const auto& p : posted)
            if (p.name == events::ScanProgressInfo) out.push_back(std::any_cast<int>(p.object));
        return out;
    }
    // Names of the posted events in order (progress included).
    std::vector<std::string> names() const {
        std::vector<std::string> out;
        for (const auto& p : posted) out.push_back(p.name);
        return out;
    }
};

}  // namespace salvor::test

// Shared set-up of the extractor tests: a controller with an inline
// dispatcher, a temporary backup folder, databases built from the real table
// layouts, and capture of events and diagnostic lines.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "core/scan_context.h"
#include "engine/pipeline.h"
#include "core/record_collector.h"
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

// What a test watches of the sink: live records and progress, as the window
// would count them (deleted records and problems have tests of their own).
struct Watched {
    RecordCollector& sink;
    bool withDeleted = false;  // deleted messages and notes count too
    void clear() { sink = RecordCollector(); }
    std::size_t size() const {
        return sink.contacts.size() + sink.messages.size() + sink.notes.size() + sink.calls.size() +
               sink.bookmarks.size() + sink.calendarEvents.size() + sink.progressValues.size() +
               (withDeleted ? sink.deletedMessages.size() + sink.deletedNotes.size() : 0);
    }
    bool empty() const { return size() == 0; }
};

class ExtractTest : public ::testing::Test {
protected:
    RecordCollector sink;
    ScanContext ctx{sink};
    Watched posted{sink};
    TempDir backup;
    std::vector<std::string> logLines;

    void SetUp() override {
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

    // What the stage delivered through the sink method named `kind`.
    template <class Ptr>
    std::vector<Ptr> records(const std::string& kind) const {
        const bool deleted = kind.rfind("deleted", 0) == 0;
        using T = typename Ptr::element_type;
        if constexpr (std::is_same_v<T, MVContactNode>) return deleted ? sink.deletedContacts : sink.contacts;
        else if constexpr (std::is_same_v<T, MVMessageNode>) return deleted ? sink.deletedMessages : sink.messages;
        else if constexpr (std::is_same_v<T, MVCallHistoryNode>) return deleted ? sink.deletedCalls : sink.calls;
        else if constexpr (std::is_same_v<T, MVNoteNode>) return deleted ? sink.deletedNotes : sink.notes;
        else if constexpr (std::is_same_v<T, MVBookMarkNode>) return deleted ? sink.deletedBookmarks : sink.bookmarks;
        else if constexpr (std::is_same_v<T, MVCalendarNode>) return deleted ? sink.deletedCalendarEvents : sink.calendarEvents;
        else if constexpr (std::is_same_v<T, MVPhotoAndVideoNode>) return sink.photos;
        else return {};
    }
    std::vector<int> progress() const { return sink.progressValues; }
    // The sink methods called, in order (progress included).
    std::vector<std::string> names() const {
        static const std::vector<std::string> watched{"contact", "message", "note", "call", "bookmark", "calendarEvent", "progress"};
        std::vector<std::string> out;
        for (const std::string& kind : sink.order)
            if (std::find(watched.begin(), watched.end(), kind) != watched.end()) out.push_back(kind);
        return out;
    }
};

}  // namespace salvor::test

// Notes: the older (note / note_bodies) or newer (ZNOTE / ZNOTEBODY) notes store.
#include <memory>

#include "extract/carved_copy.h"
#include "extract/commit_db.h"
#include "extract/extract_util.h"
#include "extract/extractors.h"
#include "extract/modern_lookup.h"
#include "platform/log.h"

namespace salvor {

using namespace extract_detail;

namespace {
constexpr const char* kNoteFiles[] = {"ca3bc056d4da0bbf88b5fb3be254f3b7147e639c",
                                      "740b7eaf93d6ea5d305e88bb349c8e9643f48c3b"};
// With a damaged body table the notes are read without their bodies.
const sqlite::ReadPlan kNotesFirst{
    {"TITLE,SUMMARY,MODIFICATION_DATE,CREATION_DATE,DATA",
     "note LEFT JOIN NOTE_BODIES ON NOTE.ROWID = NOTE_BODIES.NOTE_ID",
     "",
     {"note", "NOTE_BODIES"}},
    {{"TITLE,SUMMARY,MODIFICATION_DATE,CREATION_DATE,NULL", "note", "", {"note"}}}};
const sqlite::ReadPlan kNotesSecond{
    {"ZTITLE,ZSUMMARY,ZMODIFICATIONDATE,ZCREATIONDATE,ZCONTENT",
     "znote LEFT JOIN ZNOTEBODY ON ZNOTE.Z_PK = ZNOTEBODY.Z_PK",
     "",
     {"znote", "ZNOTEBODY"}},
    {{"ZTITLE,ZSUMMARY,ZMODIFICATIONDATE,ZCREATIONDATE,NULL", "znote", "", {"znote"}}}};
}  // namespace

void scanNoteThread(ScanContext& ctx, const std::string& backupPath) {
    if (backupPath.empty()) return;
    const std::string stored = firstExistingStored(backupPath, kNoteFiles);
    if (stored.empty()) {
        log::line("messageDB is not exist");
        return;
    }
    ScratchScope scratch(ctx);
    const char* label = stored == storedPath(backupPath, kNoteFiles[0]) ? "notes.sqlite" : "notes.db";
    // With `carved`, the database is the private one of carved rows: only the
    // deleted notes the carving engine found are posted, each with where it was.
    const auto read = [&](const std::string& path, const modern::CarvedCopy* carved) {
        sqlite::Database db(path, ctx.stop, label);
        bool second = false;
        auto table = std::make_unique<sqlite::Table>(db, sqlite::withColumn(kNotesFirst, "note.ROWID"));
        if (!table->ok()) {
            table = std::make_unique<sqlite::Table>(db, sqlite::withColumn(kNotesSecond, "znote.Z_PK"));
            second = true;
        }
        for (int r = 0; r < table->rows() && !ctx.stopRequested(); ++r) {
            const modern::CarvedOrigin* origin = nullptr;
            if (carved) {
                const char* id = table->at(r, 5);
                origin = sqlite::hasText(id) ? carved->originOf(second ? "ZNOTE" : "note", sqlite::parseInteger(id)) : nullptr;
                if (!origin) continue;
            }
            auto note = std::make_shared<MVNoteNode>();
            setText(note->noteContent, table->at(r, 4));
            setText(note->noteTitle, table->at(r, 0));
            setDate(note->noteDate, table->at(r, 2), 1);
            if (note->noteContent) note->noteContent = cleanNoteContent(*note->noteContent);
            if (origin) {
                note->bDeleted = 1;
                note->carvedFrom = origin->carvedFrom;
                note->carvedPage = origin->page;
                ctx.nc.post(events::ScanDelNoteInfo, std::any(note));
            } else {
                ctx.nc.post(events::ScanNoteInfo, std::any(note));
            }
        }
    };
    if (const auto copy = preparedCopy(ctx, stored)) {
        read(*copy, nullptr);
        modern::CarvePlan plan;
        plan.mainTables = {"note", "ZNOTE"};
        plan.joinTables = {"note_bodies", "ZNOTEBODY"};
        plan.identity["note"] = {"title", "creation_date"};
        plan.identity["ZNOTE"] = {"ZTITLE", "ZCREATIONDATE"};
        if (const auto carved = modern::carvedCopy(ctx, modern::Found{stored, ""}, *copy, plan, label))
            read(carved->path, &*carved);
    }
    ctx.postStageProgress();
}

}  // namespace salvor

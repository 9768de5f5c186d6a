// Notes: the older (note / note_bodies) or newer (ZNOTE / ZNOTEBODY) notes store.
#include <memory>

#include "extract/commit_db.h"
#include "extract/extract_util.h"
#include "extract/extractors.h"
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

void scanNotes(ScanContext& ctx, const std::string& backupPath) {
    if (backupPath.empty()) return;
    const std::string stored = firstExistingStored(backupPath, kNoteFiles);
    if (stored.empty()) {
        log::line("messageDB is not exist");
        return;
    }
    ScratchScope scratch(ctx);
    if (const auto copy = preparedCopy(ctx, stored)) {
        const char* label = stored == storedPath(backupPath, kNoteFiles[0]) ? "notes.sqlite" : "notes.db";
        sqlite::Database db(*copy, ctx.stop, label);
        auto table = std::make_unique<sqlite::Table>(db, kNotesFirst);
        if (!table->ok()) table = std::make_unique<sqlite::Table>(db, kNotesSecond);
        for (int r = 0; r < table->rows() && !ctx.stopRequested(); ++r) {
            auto note = std::make_shared<MVNoteNode>();
            setText(note->noteContent, table->at(r, 4));
            setText(note->noteTitle, table->at(r, 0));
            setDate(note->noteDate, table->at(r, 2), 1);
            if (note->noteContent) note->noteContent = cleanNoteContent(*note->noteContent);
            ctx.sink.note(note);
        }
    }
    ctx.postStageProgress();
}

}  // namespace salvor

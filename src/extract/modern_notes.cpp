#include "extract/modern_notes.h"

#include <filesystem>
#include <memory>
#include <map>
#include <unordered_map>
#include <unordered_set>

#include "extract/carved_copy.h"
#include "extract/commit_db.h"
#include "extract/extract_util.h"
#include "extract/extractors.h"
#include "extract/modern_lookup.h"
#include "extract/named_columns.h"
#include "extract/note_body.h"

namespace salvor {

using namespace extract_detail;

namespace {

constexpr const char* kLabel = "NoteStore.sqlite";
constexpr modern::Place kStore{"AppDomainGroup-group.com.apple.notes", "NoteStore.sqlite",
                               "4f98687d8ab0d6d1a371110e6b7300f6e465bef2"};
constexpr const char* kLegacyPath = "Library/Notes/notes.sqlite";
constexpr const char* kObjects = "ZICCLOUDSYNCINGOBJECT";
// The folder kind of the Recently Deleted folder.
constexpr std::int64_t kTrashFolder = 1;

std::int64_t integer(const char* v) { return sqlite::hasText(v) ? sqlite::parseInteger(v) : 0; }

// Entity numbers of the store's object kinds ("ICNote", "ICFolder"...): each
// store numbers its kinds itself.
std::unordered_map<std::string, std::int64_t> entities(const sqlite::Database& db) {
    std::unordered_map<std::string, std::int64_t> out;
    NamedColumns cols(db, "Z_PRIMARYKEY");
    if (!cols.has("Z_ENT") || !cols.has("Z_NAME")) return out;
    sqlite::Reader st(db, cols.plan({"Z_ENT", "Z_NAME"}));
    while (st.step())
        if (sqlite::hasText(st.text(0)) && sqlite::hasText(st.text(1)))
            out.emplace(st.text(1), sqlite::parseInteger(st.text(0)));
    return out;
}

// The account column of a note moved with the store's versions; the newest
// column each version added tells which one it uses.
std::string accountColumn(const NamedColumns& cols) {
    if (cols.has("ZACCOUNT6")) return "ZACCOUNT7";
    if (cols.has("ZACCOUNT5")) return "ZACCOUNT4";
    if (cols.has("ZACCOUNT4")) return "ZACCOUNT3";
    return "ZACCOUNT2";
}

struct Folder {
    std::string title;
    std::int64_t type = 0;
};

enum Col { kPk, kEnt, kTitle, kFolder, kAccount, kModified, kCreated, kLocked, kMarked, kFolderTitle, kFolderType, kName, kNoteData };

// With `carved`, the database is the private one of carved rows: only the
// deleted notes the carving found are posted, and a deleted body whose note
// row is gone as an untitled note.
void readStore(ScanContext& ctx, const sqlite::Database& db, const modern::CarvedCopy* carved) {
    NamedColumns cols(db, kObjects);
    if (!cols.exists()) return;
    const auto ents = entities(db);
    const auto entityOf = [&](const char* name) {
        const auto it = ents.find(name);
        return it == ents.end() ? std::int64_t{-1} : it->second;
    };
    const std::int64_t noteEnt = entityOf("ICNote");

    // Bodies by note, and which note each body row names by the body's id.
    std::unordered_map<std::int64_t, std::vector<std::uint8_t>> bodies;
    std::unordered_map<std::int64_t, std::int64_t> noteOfBody;  // body id -> note id
    std::vector<std::pair<std::int64_t, const modern::CarvedOrigin*>> carvedBodies;  // by note, where found
    if (NamedColumns data(db, "ZICNOTEDATA"); data.has("ZNOTE") && data.has("ZDATA")) {
        sqlite::Reader st(db, data.plan({"ZNOTE", "ZDATA", "Z_PK"}));
        while (!ctx.stopRequested() && st.step()) {
            if (!sqlite::hasText(st.text(0))) continue;
            const std::int64_t note = sqlite::parseInteger(st.text(0));
            const std::int64_t id = integer(st.text(2));
            if (carved)
                if (const auto* origin = carved->originOf("ZICNOTEDATA", id)) carvedBodies.emplace_back(note, origin);
            if (!modern::CarvedCopy::idWasLost(id)) noteOfBody.emplace(id, note);
            bodies.emplace(note, st.blob(1));
        }
    }
    // Bodies a note row whose own id was lost finds through its link to the
    // body's id: theirs, not untitled notes of their own.
    std::unordered_set<std::int64_t> claimed;
    std::unordered_set<std::int64_t> rows;  // every row of the objects table

    sqlite::Reader st(db, cols.plan({"Z_PK", "Z_ENT", "ZTITLE1", cols.first({"ZFOLDER", "ZFOLDER1"}), accountColumn(cols),
                                     "ZMODIFICATIONDATE1", cols.first({"ZCREATIONDATE3", "ZCREATIONDATE1"}),
                                     "ZISPASSWORDPROTECTED", "ZMARKEDFORDELETION", "ZTITLE2", "ZFOLDERTYPE", "ZNAME", "ZNOTEDATA"}));
    // Folders and accounts are rows of the same table as the notes: the rows
    // are read once and the notes put together after.
    struct Row {
        std::int64_t pk, folder, account, noteData;
        Text title;
        std::optional<Timestamp> modified, created;  // only dates that can be shown
        bool locked, marked;
    };
    std::vector<Row> notes;
    std::unordered_map<std::int64_t, Folder> folders;
    std::unordered_map<std::int64_t, std::string> names;
    while (!ctx.stopRequested() && st.step()) {
        const std::int64_t pk = integer(st.text(kPk));
        const std::int64_t ent = integer(st.text(kEnt));
        rows.insert(pk);
        if (sqlite::hasText(st.text(kFolderTitle)) || sqlite::hasText(st.text(kFolderType)))
            folders[pk] = {sqlite::hasText(st.text(kFolderTitle)) ? columnText(st.text(kFolderTitle)) : std::string(),
                           integer(st.text(kFolderType))};
        if (sqlite::hasText(st.text(kName))) names[pk] = columnText(st.text(kName));
        // A store without its kind table: a note is a row with a note title or body.
        const bool isNote = noteEnt >= 0 ? ent == noteEnt : (sqlite::hasText(st.text(kTitle)) || bodies.count(pk));
        if (!isNote || (carved && !carved->originOf(kObjects, pk))) continue;
        Row r{pk, integer(st.text(kFolder)), integer(st.text(kAccount)), integer(st.text(kNoteData)), {}, {}, {},
              integer(st.text(kLocked)) != 0, integer(st.text(kMarked)) != 0};
        setText(r.title, st.text(kTitle));
        if (const char* v = st.text(kModified); sqlite::hasText(v))
            r.modified = shownTimestampOf(sqlite::parseInteger(v), 1);
        if (const char* v = st.text(kCreated); sqlite::hasText(v))
            r.created = shownTimestampOf(sqlite::parseInteger(v), 1);
        notes.push_back(std::move(r));
    }

    std::size_t textLeft = kMaxNoteTextPerScan;
    std::size_t tooLarge = 0;
    std::vector<NotePtr> carvedNotes;
    std::unordered_set<const MVNoteNode*> lostIds;  // carved notes whose own id was lost
    for (const Row& r : notes) {
        if (ctx.stopRequested()) break;
        auto note = std::make_shared<MVNoteNode>();
        // A carved row whose own id was lost has none to show.
        note->uid = carved && modern::CarvedCopy::idWasLost(r.pk) ? -1 : static_cast<std::int32_t>(r.pk);
        if (r.title) note->noteTitle = r.title;
        // A note without a date that can be shown lists none at all, not an empty one.
        note->noteDate = r.modified ? r.modified : r.created ? r.created : kUnreadableDate;
        const auto folder = folders.find(r.folder);
        if (folder != folders.end()) note->noteFolder = folder->second.title;
        if (const auto account = names.find(r.account); account != names.end()) note->noteAccount = account->second;
        std::int64_t bodyKey = r.pk;
        if (carved && modern::CarvedCopy::idWasLost(r.pk)) {
            lostIds.insert(note.get());
            if (const auto named = noteOfBody.find(r.noteData); r.noteData != 0 && named != noteOfBody.end() && !rows.count(named->second)) {
                bodyKey = named->second;
                claimed.insert(bodyKey);
            }
        }
        if (r.locked) {
            note->noteContent = std::string(kLockedNoteText);
        } else if (const auto body = bodies.find(bodyKey); body != bodies.end()) {
            // Only the text is kept: the inflated document goes with the call.
            bool large = false;
            if (auto text = notebody::noteText(body->second, textLeft, &large)) {
                textLeft -= text->size();
                note->noteContent = std::move(*text);
            } else if (large) {
                note->noteContent = std::string(kTooLargeNoteText);
                ++tooLarge;
            }
        }
        const bool trashed = r.marked || (folder != folders.end() && folder->second.type == kTrashFolder);
        if (const auto* origin = carved ? carved->originOf(kObjects, r.pk) : nullptr) {
            modern::markCarved(*note, *origin);
            // Posted once the bodies without a note row are placed.
            carvedNotes.push_back(note);
        } else if (trashed) {
            note->bDeleted = 1;
            ctx.sink.deletedNote(note);
        } else {
            ctx.sink.note(note);
        }
    }
    // A deleted body whose note row did not survive: its text, untitled. A
    // note's title is its body's first line, so a carved note that lost both
    // its id and its body takes the body that begins with its title.
    std::multimap<std::string, MVNoteNode*> untitledBody;  // first line -> carved note without a body
    // Only a note that lost its id can be the one a body without its note
    // row names.
    for (const NotePtr& n : carvedNotes)
        if ((!n->noteContent || n->noteContent->empty()) && n->noteTitle && !n->noteTitle->empty() && lostIds.count(n.get()))
            untitledBody.emplace(*n->noteTitle, n.get());
    for (const auto& [noteId, origin] : carvedBodies) {
        if (ctx.stopRequested() || rows.count(noteId) || claimed.count(noteId)) continue;
        const auto body = bodies.find(noteId);
        if (body == bodies.end()) continue;
        bool large = false;
        auto text = notebody::noteText(body->second, textLeft, &large);
        if (!text || text->empty()) continue;
        textLeft -= text->size();
        const std::string firstLine = text->substr(0, text->find('\n'));
        // Two bodiless notes of one title: which body is whose is not known.
        if (const auto owner = untitledBody.find(firstLine); owner != untitledBody.end() && untitledBody.count(firstLine) == 1) {
            owner->second->noteContent = std::move(*text);
            untitledBody.erase(owner);
            continue;
        }
        auto note = std::make_shared<MVNoteNode>();
        note->noteContent = std::move(*text);
        modern::markCarved(*note, *origin);
        ctx.sink.deletedNote(note);
    }
    for (const NotePtr& note : carvedNotes) {
        if (ctx.stopRequested()) break;
        // A row whose title and text are both gone gives nothing back but dates.
        const auto empty = [](const Text& t) { return !t || t->empty(); };
        if (empty(note->noteTitle) && empty(note->noteContent)) continue;
        ctx.sink.deletedNote(note);
    }
    if (tooLarge > 0)
        db.report("too large", std::to_string(tooLarge) + (tooLarge == 1 ? " note is" : " notes are") +
                                   " listed without their text: it was too large, or all notes together would "
                                   "have passed " + std::to_string(kMaxNoteTextPerScan >> 20) + " MiB of text");
}

}  // namespace

void scanModernNotes(ScanContext& ctx, const std::string& backupPath) {
    if (!ctx.modernFormat || backupPath.empty()) return;
    // The newest notes may still be in the log stored beside the store.
    if (const modern::Found store = modern::findDatabase(ctx, {kStore}, true); !store.stored.empty()) {
        ScratchScope scratch(ctx);
        if (const auto copy = modern::preparedCopy(ctx, store)) {
            if (sqlite::Database db(*copy, ctx.stop, kLabel); db.ok()) readStore(ctx, db, nullptr);
            // Deleted notes and the bodies that survive them.
            modern::CarvePlan plan;
            plan.mainTables = {kObjects, "ZICNOTEDATA"};
            plan.joinTables = {"Z_PRIMARYKEY"};
            plan.identity[kObjects] = {"ZIDENTIFIER"};
            plan.identity["ZICNOTEDATA"] = {"ZNOTE"};
            if (const auto carved = modern::carvedCopy(ctx, store, *copy, plan, kLabel))
                if (sqlite::Database db(carved->path, ctx.stop, kLabel); db.ok()) readStore(ctx, db, &*carved);
        }
    }
    // Accounts never moved to the newer store keep the legacy file, which the
    // older reader reads from the folder its stored file sits in.
    if (const Text legacy = ctx.getFileKeyBytheFilepath(kLegacyPath); legacy && fileExists(*legacy)) {
        const std::string folder = std::filesystem::path(*legacy).parent_path().string();
        if (!folder.empty()) scanNotes(ctx, folder);
    }
    ctx.postStageProgress();
}

}  // namespace salvor

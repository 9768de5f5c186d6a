// The deleted-notes and deleted-bookmarks scans over files built with SQLite
// in the real table layouts of both schema formats: format-1 files store 0
// and 1 as one-byte integers, format-4 files (every file a newer system
// creates) as the constants 08 and 09, and both are carved alike.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <any>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "carve/deleted_bookmarks.h"
#include "carve/deleted_notes.h"
#include "core/events.h"
#include "core/helpers.h"
#include "core/scan_context.h"
#include "extract/extractors.h"
#include "support/support.h"

namespace salvor::test {
namespace {

constexpr const char* kNotes = "ca3bc056d4da0bbf88b5fb3be254f3b7147e639c";
constexpr const char* kBookmarks = "d1f062e2da26192a6625d968274bfda8d07821e4";

class DelNoteBookmarkTest : public ::testing::Test {
protected:
    NotificationCenter nc;
    ScanContext ctx{nc};
    TempDir backup, scratch;
    std::vector<NotePtr> notes;
    std::vector<BookMarkPtr> bookmarks;

    void SetUp() override {
        nc.addObserver(events::ScanDelNoteInfo, [this](const std::any& o) { notes.push_back(std::any_cast<NotePtr>(o)); });
        nc.addObserver(events::scanDelBookMarkInfo,
                       [this](const std::any& o) { bookmarks.push_back(std::any_cast<BookMarkPtr>(o)); });
        ctx.backupPath = backup.path();
        ctx.scanScratchDir = scratch.path();
    }

    void useFolder(const std::string& name) {
        ctx.backupPath = backup / name;
        std::filesystem::create_directory(ctx.backupPath);
        notes.clear(), bookmarks.clear();
        ctx.removeSomeArray();
    }

    std::string path(const char* stored) const { return ctx.backupPath + "/" + stored; }

    void makeDb(const char* stored, bool formatOne, const std::string& schema, const std::string& sql, int pageSize = 4096) {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path(stored).c_str(), &db), SQLITE_OK);
        if (formatOne) sqlite3_db_config(db, SQLITE_DBCONFIG_LEGACY_FILE_FORMAT, 1, nullptr);
        const std::string all = "PRAGMA page_size=" + std::to_string(pageSize) + "; PRAGMA secure_delete=OFF;\n" +
                                readFile(std::string(SALVOR_SCHEMA_DIR) + "/" + schema) + "BEGIN;" + sql + "COMMIT;";
        char* err = nullptr;
        EXPECT_EQ(sqlite3_exec(db, all.c_str(), nullptr, nullptr, &err), SQLITE_OK) << (err ? err : "");
        sqlite3_free(err);
        sqlite3_close(db);
    }

    // The live stages prepare the private copies the carving reads.
    void scanNotes() {
        scanNoteThread(ctx, ctx.backupPath);
        DelNoteScan::scanBackup(ctx, ctx.backupPath);
    }
    void scanBookmarks() {
        scanBookMarkThread(ctx, ctx.backupPath);
        DelBookMarkScan::scanBackup(ctx, ctx.backupPath);
    }
};

// A note row and its body row as the phone writes them (Core Data: entity 3
// and 4, the body numbered as its note); `ios7` adds the sequence column.
std::string noteRows(int pk, const std::string& title, const std::string& html, bool ios7, int modified) {
    const std::string id = std::to_string(pk);
    return "INSERT INTO ZNOTE VALUES (" + id + ", 3, 1, 0, 0, 0, 0, " + (ios7 ? "NULL, " : "") + "-4294967296, " + id +
           ", 0, " + id + ", 1, 380000000, " + std::to_string(modified) + ".5, NULL, 'GUID-" + id + "', NULL, '" +
           title + " summary', '" + title + "');\n" + "INSERT INTO ZNOTEBODY VALUES (" + id + ", 4, 1, " + id + ", '" +
           html + "', NULL, NULL);\n";
}

std::string deleteNote(int pk) {
    return "DELETE FROM ZNOTEBODY WHERE Z_PK = " + std::to_string(pk) + "; DELETE FROM ZNOTE WHERE Z_PK = " +
           std::to_string(pk) + ";\n";
}

std::string longHtml() {
    std::string html = "Trip";
    for (int k = 0; html.size() < 2600; ++k) html += "<div>" + std::to_string(k) + ". pack the <b>blue</b> bag&nbsp;now</div>";
    return html;
}

// Both schema formats and both note tables (19 columns, and 20 with the
// newer sequence column): the deleted notes come back with title, date and
// body (a long one too, beyond what a two-byte serial type of the older
// carving could describe, on overflow pages with small pages, where the
// table's own statement spills onto one as well), the live note is not listed.
TEST_F(DelNoteBookmarkTest, DeletedNotesOfEitherSchemaFormat) {
    for (const auto& [schema, formatOne, pageSize] :
         {std::tuple{"ios5/notes.sqlite.sql", true, 4096}, std::tuple{"ios7/notes.sqlite.sql", false, 4096},
          std::tuple{"ios7/notes.sqlite.sql", true, 4096}, std::tuple{"ios5/notes.sqlite.sql", true, 1024}}) {
        SCOPED_TRACE(std::string(schema) + (formatOne ? " format 1 " : " format 4 ") + std::to_string(pageSize));
        const bool ios7 = std::string(schema).find("ios7") != std::string::npos;
        useFolder(std::string(formatOne ? "f1-" : "f4-") + (ios7 ? "7-" : "5-") + std::to_string(pageSize));
        makeDb(kNotes, formatOne, schema,
               noteRows(1, "First", "First one", ios7, 380000500) + noteRows(4, "Keep", "Keep<div>this</div>", ios7, 380001000) +
                   noteRows(2, "Milk", "Milk<div>eggs</div><br>bread&nbsp;x", ios7, 380002000) +
                   noteRows(3, "Trip", longHtml(), ios7, 380003000) + deleteNote(1) + deleteNote(2) + deleteNote(3),
               pageSize);
        scanNotes();
        ASSERT_EQ(notes.size(), 3u);
        std::sort(notes.begin(), notes.end(), [](const NotePtr& a, const NotePtr& b) { return *a->noteTitle < *b->noteTitle; });
        // Note 1's body names its owner with the constant 1 in a format-4 file.
        EXPECT_EQ(*notes[0]->noteTitle + "|" + *notes[0]->noteContent, "First|First one");
        EXPECT_EQ(*notes[1]->noteTitle, "Milk");
        EXPECT_EQ(*notes[1]->noteContent, "Milkeggs bread x");
        EXPECT_EQ(*notes[1]->noteDate, textOrEmpty(dateText(380002000, 1)));
        EXPECT_EQ(*notes[2]->noteTitle, "Trip");
        // With small pages the long body lay on overflow pages, the first of
        // which became the free list's trunk: the body is cut, the note keeps
        // its title and date.
        EXPECT_EQ(*notes[2]->noteContent, pageSize == 1024 ? "" : DelNoteScan::cleanContent(longHtml()));
    }
}

// A note whose body record was overwritten still comes back with its title
// and date; a record cut by the end of the file is not read past it.
TEST_F(DelNoteBookmarkTest, NoteWithoutItsBodyAndRecordCutByTheEndOfTheFile) {
    useFolder("nobody");
    makeDb(kNotes, false, "ios7/notes.sqlite.sql",
           noteRows(1, "Keep", "Keep it", true, 380001000) + noteRows(2, "Gone", "Gone body text here", true, 380002000) +
               deleteNote(2));
    std::string bytes = readFile(path(kNotes));
    const std::size_t body = bytes.find("Gone body text here");
    ASSERT_NE(body, std::string::npos);
    bytes.replace(body, 4, std::string(4, '\x01'));  // a later write over the body
    writeFile(path(kNotes), bytes);
    scanNotes();
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(*notes[0]->noteTitle, "Gone");
    EXPECT_EQ(*notes[0]->noteDate, textOrEmpty(dateText(380002000, 1)));
    EXPECT_EQ(*notes[0]->noteContent, "");

    // A note row that ends with the file is read; the same row cut by the
    // end of the file is not, and nothing past the end is taken for its bytes.
    const std::uint8_t row[] = {21, 0, 0x01, 0x09, 0x08, 0x08, 0x08, 0x08, 0x00, 0x01, 0x01, 0x08, 0x01, 0x09,
                                0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x15, 3, 1, 2, 2, 0x16, 0xA6, 0x0E, 0x80, 'G', 'o', 'n', 'e'};
    std::vector<std::uint8_t> image(bytes.begin(), bytes.begin() + 4096);
    image.resize(8192, 0);
    std::copy(std::begin(row), std::end(row), image.end() - sizeof row);
    const std::uint64_t field1 = image.size() - sizeof row + 2;
    const auto whole = carve::PageImage::open(image, "whole");
    ASSERT_TRUE(whole);
    const auto layout = carve::findTableLayout(*whole, "ZNOTE");
    ASSERT_TRUE(layout);
    const auto read = carve::walkRecord(*whole, field1, *layout);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->bytes(static_cast<std::size_t>(layout->index("ZTITLE"))), "Gone");
    EXPECT_EQ(read->seconds(static_cast<std::size_t>(layout->index("ZMODIFICATIONDATE"))), std::nullopt);
    image.resize(image.size() - 2);
    const auto cut = carve::PageImage::open(image, "cut");
    ASSERT_TRUE(cut);
    EXPECT_FALSE(carve::walkRecord(*cut, field1, *layout));
}

std::string bookmarkRow(int id, int parent, int type, const std::string& title, const char* url, int columns) {
    std::string row = "INSERT INTO bookmarks VALUES (" + std::to_string(id) + ", 0, " + std::to_string(parent) + ", " +
                      std::to_string(type) + ", '" + title + "', " + (url ? "'" + std::string(url) + "'" : "NULL") +
                      ", 0, 1, 1, " + (columns > 11 ? "0, 0, " : "") + std::to_string(id) + ", 'UUID-" +
                      std::to_string(id) + "'";
    for (int k = 14; k <= columns; ++k) row += ", NULL";
    return row + ");\n";
}

// The 11-column format-1 table and the 29-column format-4 table: a deleted
// folder and the bookmark in it come back; the root folder and live rows do not.
TEST_F(DelNoteBookmarkTest, DeletedBookmarksAndFoldersOfEitherSchemaFormat) {
    for (const auto& [schema, columns, formatOne] : {std::tuple{"ios4/Bookmarks.db.sql", 11, true},
                                                     std::tuple{"ios7/Bookmarks.db.sql", 29, false}}) {
        SCOPED_TRACE(schema);
        useFolder(std::to_string(columns));
        makeDb(kBookmarks, formatOne, schema,
               bookmarkRow(0, 0, 1, "Root", nullptr, columns) + bookmarkRow(1, 0, 0, "Live", "http://live.example/", columns) +
                   bookmarkRow(2, 0, 1, "Old trips", nullptr, columns) +
                   bookmarkRow(3, 2, 0, "Lisbon hotel", "https://hotel.example/lisbon?id=3", columns) +
                   "DELETE FROM bookmarks WHERE id IN (0, 2, 3);\n");
        scanBookmarks();
        std::vector<std::string> got;
        for (const BookMarkPtr& b : bookmarks) got.push_back(*b->bookMarkTitle + "|" + textOrEmpty(b->bookMarkURL));
        std::sort(got.begin(), got.end());
        EXPECT_EQ(got, (std::vector<std::string>{"Lisbon hotel|https://hotel.example/lisbon?id=3", "Old trips|"}));
    }
}

}  // namespace
}  // namespace salvor::test

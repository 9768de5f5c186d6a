// Backups of the iOS 10 and later layout whose files make a reader do
// unbounded work or take unbounded memory while every byte is well formed:
// small files that expand without end when read naively.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "forge/forge.h"

namespace salvor::forge {

// Notes added to the notes store of the "notes" backup, each body a gzip
// stream of about 32 KB inflating to a document of just under 32 MiB.
inline constexpr int kLoadNotes = 120;
// Rows added to Manifest.db of the "archives" backup, each with a keyed
// archive whose arrays share their children, expanding to 2^20 values.
inline constexpr int kLoadArchiveRows = 1000;

// The text of the load notes ("Load note 7"...), in the same words for all.
std::string loadNoteText();
// The text of the one long message (48 MiB), beginning and ending with a
// marker that appears nowhere else.
std::string longMessageText();
// A binary property list of `levels` nested arrays, each holding the next one
// twice, beside a value the plain reader of archives does not take (a UTF-16
// string): 2^(levels+1) + 3 values once every reference is expanded.
std::vector<std::uint8_t> sharedChildrenArchive(int levels);

// Replaces `table` of the database at `dbPath` (a file the caller owns) by a
// full-text (FTS4) table of the same name over a view whose rows never end,
// with `columns`: reading it in row-id order sorts rows without end. With
// `respelled`, the schema holds its statement in another spelling SQLite
// accepts as well ("create  virtual  table").
void replaceWithEndlessFullText(const std::string& dbPath, const std::string& table,
                                const std::vector<std::string>& columns, bool respelled = false);

// Scenario "hostile-modern-load": five iOS 17 backups, each built as
// "ios17-modern" and then changed, its truth file given a "load" object
// naming the case:
//   "files-fts"   Manifest.db's Files table is a full-text (FTS4) table over
//                 a view whose rows never end;
//   "photos-fts"  the same for ZASSET of the photo library;
//   "archives"    kLoadArchiveRows more rows of Files with shared-children
//                 archives (stored files absent);
//   "notes"       kLoadNotes more notes, titled "Load note N";
//   "message"     the first message with a text has longMessageText().
// The truth's other keys stay those of the unchanged backup.
// With `onlyCase`, the backup of that case alone.
std::vector<ForgedBackup> forgeHostileModernLoad(const std::string& storeDir, std::uint64_t seed,
                                                 const std::string& scratchDir, const std::string& onlyCase = {});

}  // namespace salvor::forge

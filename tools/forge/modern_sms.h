// Category databases of the iOS 10 and later layouts, for the modern backup
// scenarios: an sms.db (and, in modern_notes.h, a NoteStore.sqlite) built
// from the real table layouts, with the truth a scan must report.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace salvor::forge {

// One file the scenario lists in Manifest.db and stores in the backup folder.
struct ModernStoredFile {
    std::string domain;
    std::string relativePath;
    std::vector<std::uint8_t> content;
};

// What a modern database writer produces besides the database file itself.
struct ModernDbResult {
    // Every file to list and store, the database first (its content is the
    // file written at the output path), then the files it refers to.
    std::vector<ModernStoredFile> files;
    // Files the database refers to that the backup must not hold (offloaded
    // attachments): (domain, relativePath).
    std::vector<std::pair<std::string, std::string>> absent;
};

// Writes an sms.db of the layout of iOS `iosMajor` at `outPath`: 12 and 13
// the iOS 12 layout; 14 and 15 the iOS 14 message table with the iOS 12
// others; 16 and later the iOS 16 layout with recently deleted messages.
// Holds one-to-one and group conversations (named and unnamed), bodies kept
// only as archived attributed strings (emoji, texts longer than 255 and than
// 32767 bytes), nanosecond dates, attachments present and missing, and rows
// that are no message (reactions, group events).
//
// `truth` receives {"messages": [...], "deletedMessages": [...]}: every
// message a scan must report, in row order, with the record's field names;
// an attachment is given as "attachmentStoredName" (the stored file's name,
// null when the backup lacks it). Without `contacts` no address book is
// assumed: "messageName" is null, and an unnamed group is named by its
// members' addresses. With the truth of the backup's address book (as
// modern::writeModernContacts gives it) two people write from numbers of
// that book: their messages carry their names, and an unnamed group they are
// in is named by its members' names where known.
//
// `extraMessages` more messages (after those above, spread over the same
// conversations, every other one with its text only in the archived body)
// make a large database for the benchmarks; their truth is not written.
ModernDbResult writeModernSms(const std::string& outPath, int iosMajor, std::uint64_t seed, nlohmann::json& truth,
                              const nlohmann::json* contacts = nullptr, std::uint64_t extraMessages = 0);

// The archived attributed string (little-endian typedstream) of `text`, as
// the phone writes message.attributedBody; `mutableRoot` picks
// NSMutableAttributedString over NSAttributedString as the root class.
std::vector<std::uint8_t> attributedBodyBlob(const std::string& text, bool mutableRoot = true);

}  // namespace salvor::forge

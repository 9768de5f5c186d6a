// Judges what a scan lists as deleted against a forged backup's truth: each
// record reported as deleted is a deleted row, a duplicate of one already
// matched, a live record listed as deleted, a deleted row with a wrong second
// key (another person's number), or a phantom. Recall counts the rows whose
// bytes were still in the file; precision counts every record judged.
#pragma once

#include <functional>
#include <string>

#include <nlohmann/json.hpp>

namespace salvor::forge {

struct CarveTally {
    long deleted = 0;        // rows the phone deleted
    long recoverable = 0;    // of those, rows whose bytes were still in the file
    long reported = 0;       // records the scan lists as deleted
    long matched = 0;        // reported records equal to a deleted row
    long wrongKey = 0;       // right main key, wrong second key
    long liveAsDeleted = 0;  // a live record listed as deleted
    long duplicates = 0;     // a deleted row reported again
    long phantoms = 0;       // nothing the phone ever held
    long recoveredRows = 0;  // recoverable rows matched
    long stale = 0;          // the older version of an edited row: true, and counted as found
    long lostSecondKey = 0;  // of the matched, rows whose second key is gone from the file (listed as "Unknown")

    double recall() const { return recoverable ? double(recoveredRows) / double(recoverable) : 1.0; }
    double precision() const { return reported ? double(matched + stale) / double(reported) : 1.0; }
    void add(const CarveTally& o);
};

// A line for every record not judged a deleted row, and every recoverable row missed.
using JudgeNote = std::function<void(const std::string&)>;

// `contacts` is the scan's contact list as `salvor scan --json` writes it
// (contactName, contactPhone, bDeleted); `truth` the backup's truth.json.
CarveTally judgeContacts(const nlohmann::json& truth, const nlohmann::json& contacts, const JudgeNote& note = {});

// `scan` is the whole `salvor scan --json` answer: carved messages are the
// members of its deleted conversations. A message is a deleted row when text,
// address and date are equal; recall counts the rows whose every listed
// column was still in the file ("complete"); the other columns: wrongKey is
// a row's text under another address or date.
CarveTally judgeMessages(const nlohmann::json& truth, const nlohmann::json& scan, const JudgeNote& note = {});

}  // namespace salvor::forge

namespace salvor::forge {
// `notes` is the scan's note list (noteTitle, noteDate, noteContent, bDeleted).
// A record matches a deleted note when each part it carries (title and date,
// body) is that note's; it recovers the note when it also carries every part
// whose bytes were still in the file.
CarveTally judgeNotes(const nlohmann::json& truth, const nlohmann::json& notes, const JudgeNote& note = {});
}  // namespace salvor::forge

namespace salvor::forge {
// `bookmarks` is the scan's bookmark list (bookMarkTitle, bookMarkURL, bDeleted);
// a deleted bookmark or folder is matched by its title and address.
CarveTally judgeBookmarks(const nlohmann::json& truth, const nlohmann::json& bookmarks, const JudgeNote& note = {});
}  // namespace salvor::forge

namespace salvor::forge {
// `calls` is the scan's call list (callPhone, callDate, callTime, callType, bDeleted).
CarveTally judgeCalls(const nlohmann::json& truth, const nlohmann::json& calls, const JudgeNote& note = {});
}  // namespace salvor::forge

namespace salvor::forge {
// `events` is the scan's calendar list (calTitle, calNote, location, startDate, endDate, bDeleted).
CarveTally judgeCalendar(const nlohmann::json& truth, const nlohmann::json& events, const JudgeNote& note = {});
}  // namespace salvor::forge

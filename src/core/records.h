// Item records: plain data carried from the scan stages to the result store and
// the recovery run. Defaults equal the documented start values; no behaviour.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace salvor {

// Absent and empty text differ: a failed name lookup leaves a field absent.
using Text = std::optional<std::string>;
// Image data and file contents are shared between records, never copied.
using ByteBuffer = std::vector<std::uint8_t>;
using Bytes = std::shared_ptr<const ByteBuffer>;
using Flag = std::uint8_t;
// An absolute moment (UTC), whole seconds. A date field without a value holds
// no time point; one whose stored value was read holds it even when its year
// cannot be written in four digits (it then shows as no date at all).
using Timestamp = std::chrono::sys_seconds;
// A date the source names but that cannot be shown as one, where no readable
// moment is at hand: it lists as no date (absent), not as an empty one.
inline constexpr Timestamp kUnreadableDate = Timestamp::min();

struct MVContactNode {
    std::int32_t rowid = -1;
    Text contactName = std::string();
    Text contactPhone = std::string();
    Text contactEmail = std::string();
    Text contactHomepage = std::string();
    Text contactCompany = std::string();
    // As the address book holds it (seconds from 2001 on older systems, ISO
    // text on newer ones): a day, not a moment, shown as stored.
    Text contactBirthday = std::string();
    Text contactJobtitle = std::string();
    Text contactNote = std::string();
    Text contactAdress = std::string();
    // The separate values behind contactPhone, contactEmail and contactHomepage,
    // which join them with spaces: a number may hold spaces itself, so the
    // joined text cannot be split again.
    std::vector<std::string> contactPhoneValues;
    std::vector<std::string> contactEmailValues;
    std::vector<std::string> contactHomepageValues;
    // The parts contactName joins, as the address book keeps them; absent
    // when the record was made without them, empty when the part is.
    Text contactFirstName;
    Text contactMiddleName;
    Text contactLastName;
    Bytes imageData;
    Flag bDeleted = 0;
    Flag bSelected = 0;
    // Where a carved record was found: "freeblock", "unallocated", "freelist",
    // "wal-frame-N" or "journal", and on which page (from 1; 0 unknown).
    // Absent on a live record.
    Text carvedFrom;
    std::int64_t carvedPage = 0;
    // Carved copies of this live record that differ from it in some field:
    // what it held before it was last changed. Filled by the result store.
    std::vector<std::shared_ptr<const MVContactNode>> earlierVersions;
};

struct MVContactImageNode {
    std::int32_t rowid = -1;
    Bytes imageData;
};

struct DelContactValue {
    Text contactValue = std::string();
    std::int32_t valueType = -1;
    std::int32_t rowID = -1;
};

struct MVMessageNode {
    Text messageName = std::string();
    Text messagePhone = std::string();
    Text messageContent = std::string();
    std::optional<Timestamp> messageDate;
    Text messageType = std::string();
    Flag bImessage = 0;
    Flag bSelected = 0;
    Flag bDeleted = 0;
    std::int32_t handle_id = -1;
    Flag isHasAttach = 0;
    Text attachmentPath;  // absent until an attachment is found
    Text attachType;      // absent until an attachment is found
    std::int32_t rowId = -1;
    Bytes contactImageData;
    // Set only for a message of a group conversation (more than one other
    // party): the conversation's name and its members' addresses. A
    // received message's messagePhone and messageName are then its sender's.
    Text groupName;
    Text groupAddress;
    // Where a carved record was found: "freeblock", "unallocated", "freelist",
    // "wal-frame-N" or "journal", and on which page (from 1; 0 unknown).
    // Absent on a live record.
    Text carvedFrom;
    std::int64_t carvedPage = 0;
    // Carved copies of this live record that differ from it in some field:
    // what it held before it was last changed. Filled by the result store.
    std::vector<std::shared_ptr<const MVMessageNode>> earlierVersions;
};

struct MVMessageTreeNode {
    std::vector<std::shared_ptr<MVMessageNode>> MessageNodeArray;
    Text messageTreeNodeName = std::string();
    Text messageTreeNodeAdress = std::string();
    Flag bSelected = 0;
    Flag bdeleted = 0;
};

struct MVMessageAttachNode {
    std::int32_t messageId = -1;
    std::int32_t attachmentId = -1;
    Text attachpath;
    Text attachType;
};

struct MVChatMessageNode {
    std::int32_t rowid = -1;
    Text phoneValue = std::string();
};

struct MVCallHistoryNode {
    Text callName = std::string();
    Text callPhone = std::string();
    std::optional<Timestamp> callDate;
    Text callType = std::string();
    // The call's length in seconds; -1 when the log does not say.
    std::int32_t callTime = -1;
    // 1 for an incoming call the log marks as not answered, whatever its
    // length (only the newer logs say so).
    Flag bUnanswered = 0;
    Flag bSelected = 0;
    Flag bDeleted = 0;
    // Where a carved record was found: "freeblock", "unallocated", "freelist",
    // "wal-frame-N" or "journal", and on which page (from 1; 0 unknown).
    // Absent on a live record.
    Text carvedFrom;
    std::int64_t carvedPage = 0;
    // Carved copies of this live record that differ from it in some field:
    // what it held before it was last changed. Filled by the result store.
    std::vector<std::shared_ptr<const MVCallHistoryNode>> earlierVersions;
};

struct MVNoteNode {
    Text noteTitle = std::string();
    Text noteContent = std::string();
    std::optional<Timestamp> noteDate;
    std::int32_t uid = -1;
    Flag bSelected = 0;
    Flag bDeleted = 0;
    // The folder and account a note is filed under, where the store says.
    Text noteFolder;
    Text noteAccount;
    // Where a carved record was found: "freeblock", "unallocated", "freelist",
    // "wal-frame-N" or "journal", and on which page (from 1; 0 unknown).
    // Absent on a live record.
    Text carvedFrom;
    std::int64_t carvedPage = 0;
    // Carved copies of this live record that differ from it in some field:
    // what it held before it was last changed. Filled by the result store.
    std::vector<std::shared_ptr<const MVNoteNode>> earlierVersions;
};

struct MVBookMarkNode {
    Text bookMarkTitle = std::string();
    Text bookMarkURL = std::string();
    Flag bSelected = 0;
    Flag bDeleted = 0;
    // Where a carved record was found: "freeblock", "unallocated", "freelist",
    // "wal-frame-N" or "journal", and on which page (from 1; 0 unknown).
    // Absent on a live record.
    Text carvedFrom;
    std::int64_t carvedPage = 0;
    // Carved copies of this live record that differ from it in some field:
    // what it held before it was last changed. Filled by the result store.
    std::vector<std::shared_ptr<const MVBookMarkNode>> earlierVersions;
};

struct MVCalendarNode {
    Text calTitle = std::string();
    Text calNote = std::string();
    Text location = std::string();
    std::optional<Timestamp> startDate;
    std::optional<Timestamp> endDate;
    Flag bDeleted = 0;
    Flag bSelected = 0;
    // Where a carved record was found: "freeblock", "unallocated", "freelist",
    // "wal-frame-N" or "journal", and on which page (from 1; 0 unknown).
    // Absent on a live record.
    Text carvedFrom;
    std::int64_t carvedPage = 0;
    // Carved copies of this live record that differ from it in some field:
    // what it held before it was last changed. Filled by the result store.
    std::vector<std::shared_ptr<const MVCalendarNode>> earlierVersions;
};

struct MVPhotoAndVideoNode {
    Text fileNodeName = std::string();
    Text filePath = std::string();
    Flag bmov = 0;
    Flag bSelected = 0;
    std::uint64_t fileSizeNumber = 0;
    // From the device's photo library, when the backup holds one: the date
    // taken, and 1 for an item the person moved to "Recently Deleted".
    std::optional<Timestamp> fileCreateDate;
    Flag bDeleted = 0;
    // A Live Photo's film (the ".MOV" of the same name beside the picture),
    // listed and recovered with the picture, never on its own; null for
    // anything else.
    std::shared_ptr<const MVPhotoAndVideoNode> livePhotoVideo;
};

struct MVFaceTwitterNode {
    Text faceTwitterFileName = std::string();
    Text faceTwitterFilePath = std::string();
    Flag bSelected = 0;
    std::uint64_t fileSizeNumber = 0;
};

using ContactPtr = std::shared_ptr<MVContactNode>;
using MessagePtr = std::shared_ptr<MVMessageNode>;
using ConversationPtr = std::shared_ptr<MVMessageTreeNode>;
using CallPtr = std::shared_ptr<MVCallHistoryNode>;
using NotePtr = std::shared_ptr<MVNoteNode>;
using BookMarkPtr = std::shared_ptr<MVBookMarkNode>;
using CalendarPtr = std::shared_ptr<MVCalendarNode>;
using PhotoPtr = std::shared_ptr<MVPhotoAndVideoNode>;
using FaceTwitterPtr = std::shared_ptr<MVFaceTwitterNode>;

// Text of a field, treating absent as empty (comparisons never fail on absence).
inline const std::string& textOrEmpty(const Text& t) {
    static const std::string empty;
    return t ? *t : empty;
}

}  // namespace salvor

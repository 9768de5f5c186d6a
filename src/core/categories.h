// What a category is, said once: its name on the command line, its title in
// the window, its name in count tables and JSON, its recovery folder and list
// file, the columns a list of it shows (each with a typed value to sort by and
// the text shown), and the fields that tell a carved record equal to a live
// one. Every layer reads this table instead of spelling a category out again.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/records.h"

namespace salvor {

enum class Category { PhotoAndVideo, Contact, Message, CallHistory, Note, BookMark, Calendar, FaceTwitter, BackupTree };

// One row of a category's list: a record of that category (for messages, a
// conversation).
using AnyRecord = std::variant<PhotoPtr, ContactPtr, ConversationPtr, MessagePtr, CallPtr, NotePtr, BookMarkPtr,
                               CalendarPtr, FaceTwitterPtr>;

// What a column orders by: nothing, a number, a size in bytes, a moment or a
// text folded for comparison. Absent values sort first.
struct SortValue {
    enum class Kind : std::uint8_t { None, Number, Bytes, Moment, Text };
    Kind kind = Kind::None;
    std::int64_t number = 0;
    std::string text;

    friend bool operator<(const SortValue& a, const SortValue& b) {
        if (a.kind == Kind::None || b.kind == Kind::None) return a.kind == Kind::None && b.kind != Kind::None;
        if (a.kind == Kind::Text || b.kind == Kind::Text) {
            if (a.kind != b.kind) return a.kind != Kind::Text;
            return a.text < b.text;
        }
        return a.number < b.number;
    }
};

struct Column {
    const char* title;
    // The text a cell shows and the value it sorts by; both take a record of
    // the column's category (anything else gives an empty cell).
    std::string (*text)(const AnyRecord& record);
    SortValue (*value)(const AnyRecord& record);
};

struct CategoryInfo {
    Category id;
    const char* cliName;    // "contacts", "messages", ... (the recover command's words)
    const char* title;      // the window's button
    const char* countName;  // count tables and the JSON of a scan
    const char* folder;     // the recovery run's folder; empty when the category has none of its own
    const char* listFile;   // the text list the run writes into that folder; empty when it writes cards,
                            // pages or copies instead
    bool searched;          // the search field looks into this category
    bool hasDeleted;        // deleted records of it can be found
    std::vector<Column> columns;  // after the check box, before the state column
};

// Every category, in the order the window lists them.
const std::array<CategoryInfo, 9>& categoryTable();
const CategoryInfo& categoryInfo(Category category);
// The category a command-line word names; absent when none does.
std::optional<Category> categoryFromCliName(std::string_view name);

// The moment a record's date names, as a column orders it; none for a
// record without a readable date.
SortValue dateValue(const std::optional<Timestamp>& date);

// The selection flag and the deleted mark of any record.
Flag& selectionFlag(const AnyRecord& record);
bool isDeletedRecord(const AnyRecord& record);
// The category a record belongs to (a message alone counts as a message).
Category categoryOf(const AnyRecord& record);

// Whether a search text is found in a record: the two fields a person
// searches by (name and number, title and text...), ignoring ASCII case.
bool recordMatches(const AnyRecord& record, const std::string& needle);
// Case-insensitive containment; an empty needle is never contained.
bool containsText(const std::string& haystack, const std::string& needle);
// Whether a message address belongs to a conversation address: the longer
// of the two must contain the shorter (or equal it).
bool addressMatches(const std::string& conversationAddress, const std::string& messageAddress);

// The fields that make a carved record a copy of one already listed, and the
// remaining ones: a copy of a live record that holds another value in one of
// those is that record's earlier version.
struct MergeKey {
    std::vector<std::string> same;
    std::vector<std::string> others;
};
MergeKey contactKey(const MVContactNode& c);
MergeKey noteKey(const MVNoteNode& n);
MergeKey callKey(const MVCallHistoryNode& c);
MergeKey bookmarkKey(const MVBookMarkNode& b);
MergeKey calendarKey(const MVCalendarNode& c);

}  // namespace salvor

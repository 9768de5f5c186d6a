// Which documents a recovery run writes besides (or instead of) the classic
// lists, cards, conversation pages and copies, and how a conversation becomes
// a printable document. The printable writer needs a typesetting library
// that this layer must not link, so the caller hands it in as a function.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/records.h"

namespace salvor {

struct ExportFormats {
    bool classic = true;  // the lists, cards, conversation pages and copies
    bool ics = false;     // Calendar&Reminder/Calendar.ics
    bool csv = false;     // one spreadsheet per category
    bool pdf = false;     // one printable document per conversation
    bool html = false;    // index.html at the top of the destination

    bool any() const { return classic || ics || csv || pdf || html; }
    bool operator==(const ExportFormats&) const = default;
};

// Reads "classic,ics,csv,pdf,html" or "all" (words separated by commas,
// any order, repeats allowed). Absent with `error` set when a word is
// unknown or the list is empty.
std::optional<ExportFormats> parseExportFormats(std::string_view list, std::string& error);
// The words of `formats`, comma-separated, in the order parseExportFormats lists them.
std::string exportFormatsText(const ExportFormats& formats);

// One conversation as a printable document shows it. Every text is valid UTF-8.
struct ConversationDocument {
    struct Entry {
        std::string sender;  // "Me", the contact's name, else the address
        std::string date;    // as shown beside the sender; may be empty
        std::string text;
        bool sent = false;
        bool deleted = false;
        std::string attachment;  // the attachment's file name; empty without one
        bool picture = false;    // the attachment is a picture worth showing
    };
    std::string name;       // the other party's name (or the conversation's)
    std::string address;    // their number or address
    std::string device;     // the device the backup is of
    std::string dateRange;  // first and last message date; empty when none is known
    std::vector<Entry> entries;
    // The bytes of entry i's picture, read when it is drawn (so only one is
    // held at a time); null when the backup does not hold it.
    std::function<Bytes(std::size_t index)> loadPicture;
};

// Writes `document` into the open file `fd`; empty text on success, else why.
using ConversationDocumentWriter = std::function<std::string(const ConversationDocument& document, int fd)>;

struct ExportOptions {
    ExportFormats formats;
    // Needed for the pdf format: a run without it reports each conversation's
    // document as not written.
    ConversationDocumentWriter conversationDocument;
    // Place names by row number: older calendars name an event's place by its
    // row of a table of places. Empty when the records carry the names.
    std::map<std::string, std::string> calendarPlaces;
};

}  // namespace salvor

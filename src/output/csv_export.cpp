#include "output/csv_export.h"

#include "core/helpers.h"

#include <initializer_list>

#include "core/utf8.h"
#include "output/export_values.h"
#include "output/export_writer.h"
#include "output/output_dir.h"

namespace salvor::output {

std::string FdBuffer::flush() {
    if (error_.empty() && !buffer_.empty()) error_ = writeAll(fd_, buffer_.data(), buffer_.size());
    buffer_.clear();
    return error_;
}

std::string csvField(std::string_view value) {
    std::string text = utf8::replaceInvalid(value);
    if (!text.empty() && (text[0] == '=' || text[0] == '+' || text[0] == '-' || text[0] == '@')) text.insert(0, 1, '\'');
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string out = "\"";
    for (char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    out += '"';
    return out;
}

namespace {

class CsvFile {
public:
    explicit CsvFile(int fd) : out_(fd) {}
    void row(std::initializer_list<std::string_view> cells) {
        bool first = true;
        for (std::string_view cell : cells) {
            if (!first) out_.add(",");
            first = false;
            out_.add(csvField(cell));
        }
        out_.add("\r\n");
    }
    std::string finish() { return out_.flush(); }

private:
    FdBuffer out_;
};

const char* yesNo(Flag deleted) { return deleted ? "yes" : "no"; }

std::string iso(const std::optional<TimePoint>& t) { return t ? isoUtc(*t) : std::string(); }

// Separate values in one cell; the joined text when the separate ones are unknown.
std::string values(const std::vector<std::string>& list, const Text& joined) {
    if (list.empty()) {
        const std::string text = cleanText(joined);
        const auto first = text.find_first_not_of(' ');
        return first == std::string::npos ? std::string() : text.substr(first);
    }
    std::string out;
    for (const auto& v : list) {
        if (!out.empty()) out += "; ";
        out += v;
    }
    return out;
}

// The message text without the sign that stands for its attachment.
std::string messageText(const MVMessageNode& m) {
    std::string text = cleanText(m.messageContent);
    static const std::string kObject = "\xEF\xBF\xBC";  // U+FFFC
    for (std::size_t at; (at = text.find(kObject)) != std::string::npos;) text.erase(at, kObject.size());
    return text;
}

}  // namespace

std::string conversationName(const MVMessageTreeNode& c) {
    const std::string name = cleanText(c.messageTreeNodeName);
    return utf8::codePointCount(name) >= 2 ? name : cleanText(c.messageTreeNodeAdress);
}

std::string messageDirection(const MVMessageNode& m) {
    const std::string& type = textOrEmpty(m.messageType);
    if (type == "Send" || type == "Sent" || type == "sent" || type == "send") return "sent";
    if (type == "Received" || type == "received") return "received";
    return {};
}

std::string writeContactsCsv(const std::vector<ContactPtr>& contacts, int fd) {
    CsvFile csv(fd);
    csv.row({"Name", "First name", "Middle name", "Last name", "Phone", "Email", "Home page", "Company",
             "Job title", "Birthday", "Address", "Note", "Deleted"});
    for (const auto& c : contacts) {
        if (!c || c->bSelected != 1) continue;
        csv.row({cleanText(c->contactName), cleanText(c->contactFirstName), cleanText(c->contactMiddleName),
                 cleanText(c->contactLastName), values(c->contactPhoneValues, c->contactPhone),
                 values(c->contactEmailValues, c->contactEmail), values(c->contactHomepageValues, c->contactHomepage),
                 cleanText(c->contactCompany), cleanText(c->contactJobtitle), cleanText(c->contactBirthday),
                 cleanText(c->contactAdress), cleanText(c->contactNote), yesNo(c->bDeleted)});
    }
    return csv.finish();
}

std::string writeMessagesCsv(const std::vector<ConversationPtr>& conversations, int fd,
                             const std::function<std::string(const MVMessageNode&)>& attachmentName) {
    CsvFile csv(fd);
    csv.row({"Date", "Direction", "Address", "Name", "Text", "Attachment", "Conversation", "Deleted"});
    for (const auto& conversation : conversations) {
        if (!conversation || conversation->bSelected != 1) continue;
        const std::string name = conversationName(*conversation);
        for (const auto& m : conversation->MessageNodeArray) {
            if (!m) continue;
            const std::string attachment = attachmentName ? attachmentName(*m) : std::string();
            csv.row({iso(messageTime(*m)), messageDirection(*m), cleanText(m->messagePhone), cleanText(m->messageName),
                     messageText(*m), utf8::replaceInvalid(attachment), name, yesNo(m->bDeleted)});
        }
    }
    return csv.finish();
}

std::string writeCallsCsv(const std::vector<CallPtr>& calls, int fd) {
    CsvFile csv(fd);
    csv.row({"Date", "Name", "Number", "Type", "Duration (seconds)", "Duration", "Deleted"});
    for (const auto& c : calls) {
        if (!c || c->bSelected != 1) continue;
        const auto seconds = callSeconds(*c);
        csv.row({iso(callTime(*c)), cleanText(c->callName), cleanText(c->callPhone), cleanText(c->callType),
                 seconds ? std::to_string(*seconds) : std::string(), displayCallDuration(*c), yesNo(c->bDeleted)});
    }
    return csv.finish();
}

std::string writeNotesCsv(const std::vector<NotePtr>& notes, int fd) {
    CsvFile csv(fd);
    csv.row({"Date", "Title", "Text", "Folder", "Account", "Deleted"});
    for (const auto& n : notes) {
        if (!n || n->bSelected != 1) continue;
        csv.row({iso(noteTime(*n)), cleanText(n->noteTitle), cleanText(n->noteContent), cleanText(n->noteFolder),
                 cleanText(n->noteAccount), yesNo(n->bDeleted)});
    }
    return csv.finish();
}

std::string writeBookmarksCsv(const std::vector<BookMarkPtr>& bookmarks, int fd) {
    CsvFile csv(fd);
    csv.row({"Title", "URL", "Deleted"});
    for (const auto& b : bookmarks) {
        if (!b || b->bSelected != 1) continue;
        csv.row({cleanText(b->bookMarkTitle), cleanText(b->bookMarkURL), yesNo(b->bDeleted)});
    }
    return csv.finish();
}

std::string writeCalendarCsv(const std::vector<CalendarPtr>& events, const std::map<std::string, std::string>& places,
                             int fd) {
    CsvFile csv(fd);
    csv.row({"Title", "Start", "End", "Location", "Notes", "Deleted"});
    for (const auto& e : events) {
        if (!e || e->bSelected != 1) continue;
        csv.row({cleanText(e->calTitle), iso(eventStart(*e)), iso(eventEnd(*e)), eventLocation(*e, places),
                 cleanText(e->calNote), yesNo(e->bDeleted)});
    }
    return csv.finish();
}

}  // namespace salvor::output

#include "output/export_run.h"

#include <chrono>

#include "core/utf8.h"
#include "output/chunked_copy.h"
#include "output/csv_export.h"
#include "output/export_values.h"
#include "output/html_controller.h"
#include "output/ics_export.h"
#include "output/index_page.h"
#include "output/rtf_controller.h"
#include "output/safe_name.h"

namespace salvor::output {

std::string conversationFileBase(const MVMessageTreeNode& conversation) {
    const std::string& name = textOrEmpty(conversation.messageTreeNodeName);
    return utf8::codePointCount(name) >= 2 ? name : shown(conversation.messageTreeNodeAdress);
}

namespace {

template <class List>
bool anySelected(const List& list) {
    for (const auto& record : list)
        if (record && record->bSelected == 1) return true;
    return false;
}

// Pictures drawn in a printable document are read whole; larger ones are left out.
constexpr std::uint64_t kMaxPictureBytes = 64u << 20;

std::string dateRange(const MVMessageTreeNode& conversation) {
    std::optional<TimePoint> first, last;
    for (const auto& m : conversation.MessageNodeArray) {
        if (!m) continue;
        const auto t = messageTime(*m);
        if (!t) continue;
        if (!first || *t < *first) first = t;
        if (!last || *t > *last) last = t;
    }
    if (!first) return {};
    const std::string a = localStamp(*first), b = localStamp(*last);
    return a == b ? a : a + " \xE2\x80\x93 " + b;  // an en dash between
}

ConversationDocument documentOf(const MVMessageTreeNode& conversation, const RecoverySource& source,
                                ExportTarget& target) {
    ConversationDocument doc;
    doc.name = cleanText(conversation.messageTreeNodeName);
    doc.address = cleanText(conversation.messageTreeNodeAdress);
    if (doc.name.find_first_not_of(' ') == std::string::npos) doc.name = doc.address;
    if (doc.name == doc.address) doc.address.clear();
    doc.device = source.device ? cleanText(source.device->strDeviceName) : std::string();
    doc.dateRange = dateRange(conversation);
    doc.entries.reserve(conversation.MessageNodeArray.size());
    std::vector<std::string> picturePaths;
    for (const auto& m : conversation.MessageNodeArray) {
        if (!m) continue;
        ConversationDocument::Entry e;
        e.sender = utf8::replaceInvalid(sender(*m));
        const auto t = messageTime(*m);
        e.date = t ? localStamp(*t) : std::string();
        e.text = cleanText(m->messageContent);
        static const std::string kObject = "\xEF\xBF\xBC";  // stands for the attachment
        for (std::size_t at; (at = e.text.find(kObject)) != std::string::npos;) e.text.erase(at, kObject.size());
        e.sent = messageDirection(*m) == "sent";
        e.deleted = m->bDeleted != 0;
        if (m->isHasAttach || m->attachType) {
            e.attachment = utf8::replaceInvalid(target.attachmentFileName(*m));
            if (e.attachment.empty()) e.attachment = "not in the backup";
        }
        e.picture = textOrEmpty(m->attachType) == "Image" && !textOrEmpty(m->attachmentPath).empty();
        picturePaths.push_back(e.picture ? *m->attachmentPath : std::string());
        doc.entries.push_back(std::move(e));
    }
    const BackupCipher* cipher = source.cipher.get();
    doc.loadPicture = [paths = std::move(picturePaths), cipher](std::size_t i) -> Bytes {
        if (i >= paths.size() || paths[i].empty()) return nullptr;
        const SourceFile file(paths[i], cipher);
        if (!file.ok() || file.size() > kMaxPictureBytes) return nullptr;
        std::string why;
        auto bytes = file.readAll(kMaxPictureBytes, why);
        if (!bytes) return nullptr;
        return std::make_shared<const ByteBuffer>(std::move(*bytes));
    };
    return doc;
}

}  // namespace

std::int64_t countExportItems(const RecoverySource& source) {
    if (!source.exports.formats.pdf) return 0;
    std::int64_t n = 0;
    for (const auto& c : source.messageTreeArray)
        if (c && c->bSelected == 1) ++n;
    return n;
}

void writeCategoryExports(const RecoverySource& source, ExportTarget& target, RecoveryReport& report) {
    const ExportFormats& f = source.exports.formats;
    if (f.csv) {
        // A file per category that has something selected, in the folders the classic files use.
        auto csv = [&](const char* folder, const char* name, auto write) {
            if (!target.stopped()) target.place(folder, name, write);
        };
        if (anySelected(source.contactArray))
            csv(kContactFolder, kContactsCsv, [&](int fd) { return writeContactsCsv(source.contactArray, fd); });
        if (anySelected(source.messageTreeArray))
            csv(kMessageFolder, kMessagesCsv, [&](int fd) {
                return writeMessagesCsv(source.messageTreeArray, fd,
                                        [&](const MVMessageNode& m) { return target.attachmentFileName(m); });
            });
        if (anySelected(source.callHistoryArray))
            csv(kCallFolder, kCallsCsv, [&](int fd) { return writeCallsCsv(source.callHistoryArray, fd); });
        if (anySelected(source.noteArray))
            csv(kNoteFolder, kNotesCsv, [&](int fd) { return writeNotesCsv(source.noteArray, fd); });
        if (anySelected(source.bookMarkArray))
            csv(kBookMarkFolder, kBookmarksCsv, [&](int fd) { return writeBookmarksCsv(source.bookMarkArray, fd); });
        if (anySelected(source.calendarArray))
            csv(kCalendarFolder, kCalendarCsv, [&](int fd) { return writeCalendarCsv(source.calendarArray, source.exports.calendarPlaces, fd); });
    }
    if (f.ics && anySelected(source.calendarArray) && !target.stopped()) {
        const auto now = std::chrono::time_point_cast<std::chrono::seconds>(std::chrono::system_clock::now());
        target.place(kCalendarFolder, kCalendarIcs,
                     [&](int fd) { return writeCalendarIcs(source.calendarArray, source.exports.calendarPlaces, now, fd); });
    }
    if (f.pdf) {
        for (const auto& conversation : source.messageTreeArray) {
            if (!conversation || conversation->bSelected != 1) continue;
            if (target.stopped()) return;
            const std::string name = safeFileName(conversationFileBase(*conversation), ".pdf");
            if (!source.exports.conversationDocument) {
                report.failures.push_back({report.destination + "/" + kMessageFolder + "/" + name,
                                           "printable documents cannot be made by this program"});
                target.handled();
                continue;
            }
            // The document is gathered and written one conversation at a time.
            const ConversationDocument doc = documentOf(*conversation, source, target);
            target.place(kMessageFolder, name,
                         [&](int fd) { return source.exports.conversationDocument(doc, fd); });
            target.handled();
        }
    }
}

void writeIndexExport(const RecoverySource& source, ExportTarget& target, RecoveryReport& report) {
    if (!source.exports.formats.html || target.stopped()) return;
    const auto now = std::chrono::time_point_cast<std::chrono::seconds>(std::chrono::system_clock::now());
    const std::string page = indexPage(source, report, now);
    target.place("", "index.html", [&](int fd) { return writeAll(fd, page.data(), page.size()); });
}

}  // namespace salvor::output

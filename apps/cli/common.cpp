#include <unistd.h>

#include <concepts>
#include <cstdio>
#include <filesystem>

#include <openssl/sha.h>

#include "backup/device_list.h"
#include "cli.h"
#include "cli/json_writer.h"
#include "core/helpers.h"
#include "core/utf8.h"

namespace salvor::cli {

namespace fs = std::filesystem;

void error(const std::string& message) { std::fprintf(stderr, "salvor: %s\n", message.c_str()); }

// ---- progress bar ----

ProgressBar::ProgressBar(std::string label, bool enabled)
    : label_(std::move(label)), enabled_(enabled && isatty(STDERR_FILENO)) {}

ProgressBar::~ProgressBar() { finish(); }

void ProgressBar::update(int percent) {
    if (!enabled_) return;
    percent = std::clamp(percent, 0, 100);
    if (percent == last_) return;
    last_ = percent;
    constexpr int kWidth = 40;
    const int filled = percent * kWidth / 100;
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.append(static_cast<std::size_t>(kWidth - filled), '-');
    std::fprintf(stderr, "\r%s [%s] %3d%%", label_.c_str(), bar.c_str(), percent);
    std::fflush(stderr);
    drawn_ = true;
}

void ProgressBar::finish() {
    if (drawn_) {
        std::fputs("\r\033[K", stderr);
        std::fflush(stderr);
        drawn_ = false;
    }
}

// ---- scan ----

std::optional<std::string> runScan(ScanSession& session, const std::string& backupDir, bool showProgress,
                                   const SecretOptions& secrets) {
    if (auto why = prepareEncryptedScan(session, backupDir, secrets)) return why;
    // The key derivation of a real backup takes seconds before the bar moves.
    if (showProgress && session.app.hasBackupSecret() && ::isatty(STDERR_FILENO))
        std::fputs("salvor: unlocking the backup…\n", stderr);
    ProgressBar bar("Scanning", showProgress);
    auto problem = session.run(backupDir, [&bar](int percent) { bar.update(percent); });
    bar.finish();
    if (problem) return problem;
    // A backup that could not be opened at all (a wrong password) is one sentence, not an empty result.
    if (auto failure = session.app.scanFailure(); failure && !session.cancelled()) return failure;
    return saveDerivedKey(session, secrets);
}

// ---- JSON ----

namespace {

// The members of one record, in the order they are named.
struct Fields {
    JsonWriter& w;

    // Absent text is null.
    Fields& text(const char* name, const Text& t) {
        w.key(name);
        if (t) w.string(*t);
        else w.null();
        return *this;
    }
    template <std::integral T>
    Fields& number(const char* name, T value) {
        w.key(name);
        w.number(value);
        return *this;
    }
    Fields& flag(const char* name, bool f) { return number(name, f ? 1 : 0); }
    // Bytes are described by their size and SHA-1, or null.
    Fields& bytes(const char* name, const Bytes& b) {
        w.key(name);
        if (!b) {
            w.null();
            return *this;
        }
        unsigned char digest[SHA_DIGEST_LENGTH];
        SHA1(b->data(), b->size(), digest);
        static constexpr char kHex[] = "0123456789abcdef";
        std::string hex;
        for (unsigned char c : digest) {
            hex.push_back(kHex[c >> 4]);
            hex.push_back(kHex[c & 0xF]);
        }
        w.beginObject();
        number("size", b->size());
        w.key("sha1");
        w.string(hex);
        w.endObject();
        return *this;
    }
};

void write(JsonWriter& w, const MVContactNode& n);
void write(JsonWriter& w, const MVMessageNode& n);
void write(JsonWriter& w, const MVCallHistoryNode& n);
void write(JsonWriter& w, const MVNoteNode& n);
void write(JsonWriter& w, const MVBookMarkNode& n);
void write(JsonWriter& w, const MVCalendarNode& n);

// Where a carved record was found (deleted records only), and the earlier
// versions of a live record, each with its usual keys.
template <class Node>
void writeCarving(JsonWriter& w, const Node& n) {
    if (n.carvedFrom) {
        w.key("carvedFrom");
        w.string(*n.carvedFrom);
        w.key("carvedPage");
        w.number(n.carvedPage);
    }
    if (n.earlierVersions.empty()) return;
    w.key("earlierVersions");
    w.beginArray();
    for (const auto& earlier : n.earlierVersions)
        if (earlier) write(w, *earlier);
    w.endArray();
}

void write(JsonWriter& w, const MVContactNode& n) {
    w.beginObject();
    Fields{w}
        .number("rowid", n.rowid)
        .text("contactName", n.contactName)
        .text("contactPhone", n.contactPhone)
        .text("contactEmail", n.contactEmail)
        .text("contactHomepage", n.contactHomepage)
        .text("contactCompany", n.contactCompany)
        .text("contactBirthday", n.contactBirthday)
        .text("contactJobtitle", n.contactJobtitle)
        .text("contactNote", n.contactNote)
        .text("contactAdress", n.contactAdress)
        .text("contactFirstName", n.contactFirstName)
        .text("contactMiddleName", n.contactMiddleName)
        .text("contactLastName", n.contactLastName)
        .bytes("imageData", n.imageData)
        .flag("bDeleted", n.bDeleted)
        .flag("bSelected", n.bSelected);
    writeCarving(w, n);
    w.endObject();
}

void write(JsonWriter& w, const MVMessageNode& n) {
    w.beginObject();
    Fields{w}
        .text("messageName", n.messageName)
        .text("messagePhone", n.messagePhone)
        .text("messageContent", n.messageContent)
        .text("messageDate", displayDate(n.messageDate))
        .text("messageType", n.messageType)
        .flag("bImessage", n.bImessage)
        .flag("bSelected", n.bSelected)
        .flag("bDeleted", n.bDeleted)
        .number("handle_id", n.handle_id)
        .flag("isHasAttach", n.isHasAttach)
        .text("attachmentPath", n.attachmentPath)
        .text("attachType", n.attachType)
        .text("groupName", n.groupName)
        .text("groupAddress", n.groupAddress)
        .number("rowId", n.rowId)
        .bytes("contactImageData", n.contactImageData);
    writeCarving(w, n);
    w.endObject();
}

template <class List>
void writeList(JsonWriter& w, const char* name, const List& list);

void write(JsonWriter& w, const MVMessageTreeNode& n) {
    w.beginObject();
    Fields{w}
        .text("messageTreeNodeName", n.messageTreeNodeName)
        .text("messageTreeNodeAdress", n.messageTreeNodeAdress)
        .flag("bSelected", n.bSelected)
        .flag("bdeleted", n.bdeleted);
    writeList(w, "MessageNodeArray", n.MessageNodeArray);
    w.endObject();
}

void write(JsonWriter& w, const MVCallHistoryNode& n) {
    w.beginObject();
    Fields{w}
        .text("callName", n.callName)
        .text("callPhone", n.callPhone)
        .text("callDate", displayDate(n.callDate))
        .text("callType", n.callType)
        .number("callTime", n.callTime)
        .text("callDuration", displayCallDuration(n))
        .flag("bSelected", n.bSelected)
        .flag("bDeleted", n.bDeleted);
    writeCarving(w, n);
    w.endObject();
}

void write(JsonWriter& w, const MVNoteNode& n) {
    w.beginObject();
    Fields{w}
        .text("noteTitle", n.noteTitle)
        .text("noteContent", n.noteContent)
        .text("noteDate", displayDate(n.noteDate))
        .text("noteFolder", n.noteFolder)
        .text("noteAccount", n.noteAccount)
        .number("uid", n.uid)
        .flag("bSelected", n.bSelected)
        .flag("bDeleted", n.bDeleted);
    writeCarving(w, n);
    w.endObject();
}

void write(JsonWriter& w, const MVBookMarkNode& n) {
    w.beginObject();
    Fields{w}
        .text("bookMarkTitle", n.bookMarkTitle)
        .text("bookMarkURL", n.bookMarkURL)
        .flag("bSelected", n.bSelected)
        .flag("bDeleted", n.bDeleted);
    writeCarving(w, n);
    w.endObject();
}

void write(JsonWriter& w, const MVCalendarNode& n) {
    w.beginObject();
    Fields{w}
        .text("calTitle", n.calTitle)
        .text("calNote", n.calNote)
        .text("location", n.location)
        .text("startDate", displayDate(n.startDate))
        .text("endDate", displayDate(n.endDate))
        .flag("bDeleted", n.bDeleted)
        .flag("bSelected", n.bSelected);
    writeCarving(w, n);
    w.endObject();
}

void write(JsonWriter& w, const MVPhotoAndVideoNode& n) {
    w.beginObject();
    Fields{w}
        .text("fileNodeName", n.fileNodeName)
        .text("fileNodeSize", displaySize(n.fileSizeNumber))
        .text("filePath", n.filePath)
        .flag("bmov", n.bmov)
        .flag("bSelected", n.bSelected)
        .number("fileSizeNumber", n.fileSizeNumber)
        .text("fileCreateDate", n.fileCreateDate ? displayDate(*n.fileCreateDate) : Text())
        .flag("bDeleted", n.bDeleted)
        .text("livePhotoVideoPath", n.livePhotoVideo ? n.livePhotoVideo->filePath : Text());
    w.endObject();
}

void write(JsonWriter& w, const MVFaceTwitterNode& n) {
    w.beginObject();
    Fields{w}
        .text("faceTwitterFileName", n.faceTwitterFileName)
        .text("faceTwitterFilePath", n.faceTwitterFilePath)
        .text("fileSize", displaySize(n.fileSizeNumber))
        .flag("bSelected", n.bSelected)
        .number("FileSizeNumber", n.fileSizeNumber);
    w.endObject();
}

void write(JsonWriter& w, const MVTreeFileNode& n) {
    w.beginObject();
    Fields{w}
        .text("treefileName", n.treefileName)
        .text("treefileType", n.treefileType)
        .text("fileSize", n.fileSize)
        .number("realFileSize", n.realFileSize)
        .flag("isFile", n.isFile)
        .text("filePath", n.filePath)
        .text("dirFilePath", n.dirFilePath)
        .flag("bSelected", n.bSelected);
    w.endObject();
}

template <class List>
void writeList(JsonWriter& w, const char* name, const List& list) {
    w.key(name);
    w.beginArray();
    for (const auto& r : list)
        if (r) write(w, *r);
    w.endArray();
}

// Each folder is {"fileName", "isSelected", "children": [folders], "fileChildren": [files]}.
// A folder path may be as deep as the manifest makes it, so the folders being
// written are kept on an explicit stack rather than the call stack.
void writeTree(JsonWriter& w, const char* name, const std::vector<TreeDirPtr>& roots) {
    struct Open {
        const MVTreeDirNode* dir;
        std::size_t nextChild;
    };
    std::vector<Open> open;
    auto enter = [&](const MVTreeDirNode& dir) {
        w.beginObject();
        Fields{w}.text("fileName", dir.fileName).number("isSelected", dir.isSelected);
        w.key("children");
        w.beginArray();
        open.push_back({&dir, 0});
    };
    w.key(name);
    w.beginArray();
    for (const auto& root : roots) {
        if (!root) continue;
        enter(*root);
        while (!open.empty()) {
            Open& top = open.back();
            const auto& children = top.dir->children;
            while (top.nextChild < children.size() && !children[top.nextChild]) ++top.nextChild;
            if (top.nextChild < children.size()) {
                const MVTreeDirNode& child = *children[top.nextChild++];
                enter(child);
                continue;
            }
            w.endArray();
            writeList(w, "fileChildren", top.dir->fileChildren);
            w.endObject();
            open.pop_back();
        }
    }
    w.endArray();
}

}  // namespace

void writeDeviceJson(JsonWriter& w, const MVIOSDeviceNode& n) {
    w.beginObject();
    Fields{w}
        .text("strDeviceName", n.strDeviceName)
        .text("strDeviceSize", n.strDeviceSize)
        .text("strDeviceBackUpTime", n.strDeviceBackUpTime)
        .text("strDeviceSerial", n.strDeviceSerial)
        .text("strDeviceType", n.strDeviceType)
        .text("strIOSVersion", n.strIOSVersion)
        .text("deviceImage", n.deviceImage)
        .text("itunesVersion", n.itunesVersion)
        .text("backUpFilePath", n.backUpFilePath)
        .text("backupFormat", Text(backupFormatName(n.backupFormat)))
        .flag("bEncrypted", n.bEncrypted);
    w.endObject();
}

bool writeScanJson(const ScanSession& s, std::FILE* out) {
    const auto& st = s.store;
    JsonWriter w(out, 1);
    w.beginObject();
    w.key("backup");
    if (s.app.currentNode) writeDeviceJson(w, *s.app.currentNode);
    else w.null();
    w.key("flags");
    w.beginObject();
    Fields{w}
        .flag("currentNodeIsiOS6Version", s.app.currentNodeIsiOS6Version)
        .flag("bIOS7DeviceNode", s.app.bIOS7DeviceNode);
    w.endObject();
    writeList(w, "contacts", st.contacts());
    writeList(w, "messages", st.messages());
    writeList(w, "conversations", st.conversations());
    writeList(w, "calls", st.calls());
    writeList(w, "notes", st.notes());
    writeList(w, "bookmarks", st.bookmarks());
    writeList(w, "calendar", st.calendarEvents());
    writeList(w, "photos", st.photos());
    writeList(w, "social", st.socialFiles());
    writeTree(w, "tree", st.tree().content);
    // What cost the scan data, one sentence each (empty when nothing did).
    w.key("problems");
    w.beginArray();
    for (const std::string& problem : st.problems()) w.string(problem);
    w.endArray();
    w.endObject();
    return w.finish();
}

std::string column(std::string_view text, std::size_t width) {
    // A terminal shows one cell per character, not per byte: "Ann’s iPhone"
    // is 14 bytes but 12 cells wide.
    std::size_t cells = 0;
    for (std::size_t pos = 0; pos < text.size(); ++cells) {
        char32_t cp = 0;
        if (!utf8::nextCodePoint(text, pos, cp)) ++pos;
    }
    std::string out(text);
    if (cells < width) out.append(width - cells, ' ');
    return out;
}

bool printProblems(const ResultStore& store) {
    const std::vector<std::string> problems = store.problems();
    for (const std::string& p : problems) std::fprintf(stderr, "salvor: %s\n", p.c_str());
    return !problems.empty();
}

void printCountTable(const std::vector<CategoryCount>& counts) {
    std::printf("%-18s %10s %10s\n", "Category", "Live", "Deleted");
    for (const auto& c : counts) std::printf("%-18s %10ld %10ld\n", c.name.c_str(), c.live, c.deleted);
}

}  // namespace salvor::cli

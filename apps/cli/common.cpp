#include <unistd.h>

#include <concepts>
#include <cstdio>
#include <filesystem>

#include <openssl/sha.h>

#include "backup/device_list.h"
#include "cli.h"
#include "cli/json_writer.h"
#include "core/events.h"

namespace salvor::cli {

namespace fs = std::filesystem;

void error(const std::string& message) { std::fprintf(stderr, "salvor: %s\n", message.c_str()); }

std::string absolutePath(const std::string& path) {
    std::error_code ec;
    fs::path p = fs::absolute(path, ec);
    if (ec) p = path;
    std::string s = p.lexically_normal().string();
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    return s;
}

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

// ---- scan session ----

ScanSession::ScanSession() = default;
ScanSession::~ScanSession() { app.waitForScan(); }

std::optional<std::string> ScanSession::run(const std::string& backupDirArg, bool showProgress) {
    const std::string backupDir = absolutePath(backupDirArg);
    std::error_code ec;
    if (!fs::exists(backupDir, ec)) return "no such folder: " + backupDir;
    if (!fs::is_directory(backupDir, ec)) return "not a folder: " + backupDir;
    if (access(backupDir.c_str(), R_OK | X_OK) != 0) return "cannot read the folder " + backupDir + " (check its permissions)";

    // Describe the folder exactly as the backup list would.
    auto& devices = app.GetMVIOSDeviceController();
    devices.removeAll();
    describedAsBackup = devices.addDeviceNodeByPath(backupDir);
    DeviceNodePtr node;
    if (describedAsBackup && !devices.arrangedObjects.empty()) {
        node = devices.arrangedObjects.back();
    } else {
        // Not described (no usable Info.plist or Manifest.plist): still scan what is
        // there, since a damaged backup may hold the very data the user needs.
        node = std::make_shared<MVIOSDeviceNode>();
        node->backUpFilePath = backupDir;
    }
    app.bIOSRecoveryMode = false;
    app.currentNode = node;
    app.currentNodeIsiOS6Version = app.IOSVersionIOS6(node->strIOSVersion);

    ProgressBar bar("Scanning", showProgress);
    const auto token = nc.addObserver(events::ScanProgressInfo, [&bar](const std::any& object) {
        if (const int* percent = std::any_cast<int>(&object)) bar.update(*percent);
    });
    app.onScanThreadExit = [this] { dispatcher.wake(); };
    if (!app.ScanIOSBackFile(textOrEmpty(node->backUpFilePath))) {
        nc.removeObserver(token);
        return std::string("another scan is running");
    }
    dispatcher.pumpUntil([this] { return !app.isScanning(); });
    app.waitForScan();
    nc.removeObserver(token);
    bar.finish();
    return std::nullopt;
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
        .bytes("imageData", n.imageData)
        .flag("bDeleted", n.bDeleted)
        .flag("bSelected", n.bSelected);
    w.endObject();
}

void write(JsonWriter& w, const MVMessageNode& n) {
    w.beginObject();
    Fields{w}
        .text("messageName", n.messageName)
        .text("messagePhone", n.messagePhone)
        .text("messageContent", n.messageContent)
        .text("messageDate", n.messageDate)
        .text("messageType", n.messageType)
        .flag("bImessage", n.bImessage)
        .flag("bSelected", n.bSelected)
        .flag("bDeleted", n.bDeleted)
        .number("handle_id", n.handle_id)
        .flag("isHasAttach", n.isHasAttach)
        .text("attachmentPath", n.attachmentPath)
        .text("attachType", n.attachType)
        .number("rowId", n.rowId)
        .bytes("contactImageData", n.contactImageData);
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
        .text("callDate", n.callDate)
        .text("callType", n.callType)
        .number("callTime", n.callTime)
        .text("callDuration", n.callDuration)
        .flag("bSelected", n.bSelected)
        .flag("bDeleted", n.bDeleted);
    w.endObject();
}

void write(JsonWriter& w, const MVNoteNode& n) {
    w.beginObject();
    Fields{w}
        .text("noteTitle", n.noteTitle)
        .text("noteContent", n.noteContent)
        .text("noteDate", n.noteDate)
        .number("uid", n.uid)
        .flag("bSelected", n.bSelected)
        .flag("bDeleted", n.bDeleted);
    w.endObject();
}

void write(JsonWriter& w, const MVBookMarkNode& n) {
    w.beginObject();
    Fields{w}
        .text("bookMarkTitle", n.bookMarkTitle)
        .text("bookMarkURL", n.bookMarkURL)
        .flag("bSelected", n.bSelected)
        .flag("bDeleted", n.bDeleted);
    w.endObject();
}

void write(JsonWriter& w, const MVCalenderNode& n) {
    w.beginObject();
    Fields{w}
        .text("calTitle", n.calTitle)
        .text("calNote", n.calNote)
        .text("location", n.location)
        .text("startDate", n.startDate)
        .text("endDate", n.endDate)
        .flag("bDeleted", n.bDeleted)
        .flag("bSelected", n.bSelected);
    w.endObject();
}

void write(JsonWriter& w, const MVPhotoAndVideoNode& n) {
    w.beginObject();
    Fields{w}
        .text("fileNodeName", n.fileNodeName)
        .text("fileNodeSize", n.fileNodeSize)
        .text("filePath", n.filePath)
        .flag("bmov", n.bmov)
        .flag("bSelected", n.bSelected)
        .number("fileSizeNumber", n.fileSizeNumber);
    w.endObject();
}

void write(JsonWriter& w, const MVFaceTwitterNode& n) {
    w.beginObject();
    Fields{w}
        .text("faceTwitterFileName", n.faceTwitterFileName)
        .text("faceTwitterFilePath", n.faceTwitterFilePath)
        .text("fileSize", n.fileSize)
        .flag("bSelected", n.bSelected)
        .number("FileSizeNumber", n.FileSizeNumber);
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
        .text("backUpFilePath", n.backUpFilePath);
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
    writeList(w, "contacts", st.contactArray);
    writeList(w, "messages", st.messageArray);
    writeList(w, "conversations", st.messageTreeArray);
    writeList(w, "calls", st.callHistoryArray);
    writeList(w, "notes", st.noteArray);
    writeList(w, "bookmarks", st.bookMarkArray);
    writeList(w, "calendar", st.calenderArray);
    writeList(w, "photos", st.photoAndVideoArray);
    writeList(w, "social", st.faceTwitterArray);
    writeTree(w, "tree", st.treeController.content);
    w.endObject();
    return w.finish();
}

// ---- counts ----

namespace {
template <class List>
CategoryCount countList(const std::string& name, const List& list) {
    CategoryCount c{name};
    for (const auto& r : list) {
        if (!r) continue;
        if (r->bDeleted) ++c.deleted;
        else ++c.live;
    }
    return c;
}

// Iterative: a folder path may be as deep as the manifest makes it.
long countTreeFiles(const std::vector<TreeDirPtr>& roots) {
    long n = 0;
    std::vector<const MVTreeDirNode*> pending;
    for (const auto& r : roots)
        if (r) pending.push_back(r.get());
    while (!pending.empty()) {
        const MVTreeDirNode* d = pending.back();
        pending.pop_back();
        n += static_cast<long>(d->fileChildren.size());
        for (const auto& c : d->children)
            if (c) pending.push_back(c.get());
    }
    return n;
}
}  // namespace

std::vector<CategoryCount> countCategories(const MVResultViewController& st) {
    std::vector<CategoryCount> out;
    out.push_back(countList("Contacts", st.contactArray));
    out.push_back(countList("Messages", st.messageArray));
    CategoryCount conv{"Conversations"};
    for (const auto& c : st.messageTreeArray) {
        if (!c) continue;
        if (c->bdeleted) ++conv.deleted;
        else ++conv.live;
    }
    out.push_back(conv);
    out.push_back(countList("Call history", st.callHistoryArray));
    out.push_back(countList("Notes", st.noteArray));
    out.push_back(countList("Bookmarks", st.bookMarkArray));
    out.push_back(countList("Calendar", st.calenderArray));
    CategoryCount photos{"Photos & videos"};
    photos.live = static_cast<long>(st.photoAndVideoArray.size());
    out.push_back(photos);
    CategoryCount social{"Social app files"};
    social.live = static_cast<long>(st.faceTwitterArray.size());
    out.push_back(social);
    CategoryCount files{"Backup files"};
    files.live = countTreeFiles(st.treeController.content);
    out.push_back(files);
    return out;
}

void printCountTable(const std::vector<CategoryCount>& counts) {
    std::printf("%-18s %10s %10s\n", "Category", "Live", "Deleted");
    for (const auto& c : counts) std::printf("%-18s %10ld %10ld\n", c.name.c_str(), c.live, c.deleted);
}

}  // namespace salvor::cli

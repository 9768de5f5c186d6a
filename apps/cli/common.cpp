#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <iomanip>
#include <sstream>

#include <openssl/sha.h>

#include "backup/device_list.h"
#include "cli.h"
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

Json text(const Text& t) { return t ? Json(*t) : Json(nullptr); }

Json bytes(const Bytes& b) {
    if (!b) return nullptr;
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(b->data(), b->size(), digest);
    std::ostringstream hex;
    for (unsigned char c : digest) hex << std::hex << std::setw(2) << std::setfill('0') << static_cast<int>(c);
    return Json{{"size", b->size()}, {"sha1", hex.str()}};
}

int flag(std::uint8_t f) { return f ? 1 : 0; }

}  // namespace

Json toJson(const MVIOSDeviceNode& n) {
    return Json{{"strDeviceName", text(n.strDeviceName)},         {"strDeviceSize", text(n.strDeviceSize)},
                {"strDeviceBackUpTime", text(n.strDeviceBackUpTime)}, {"strDeviceSerial", text(n.strDeviceSerial)},
                {"strDeviceType", text(n.strDeviceType)},         {"strIOSVersion", text(n.strIOSVersion)},
                {"deviceImage", text(n.deviceImage)},             {"itunesVersion", text(n.itunesVersion)},
                {"backUpFilePath", text(n.backUpFilePath)}};
}

Json toJson(const MVContactNode& n) {
    return Json{{"rowid", n.rowid},
                {"contactName", text(n.contactName)},
                {"contactPhone", text(n.contactPhone)},
                {"contactEmail", text(n.contactEmail)},
                {"contactHomepage", text(n.contactHomepage)},
                {"contactCompany", text(n.contactCompany)},
                {"contactBirthday", text(n.contactBirthday)},
                {"contactJobtitle", text(n.contactJobtitle)},
                {"contactNote", text(n.contactNote)},
                {"contactAdress", text(n.contactAdress)},
                {"imageData", bytes(n.imageData)},
                {"bDeleted", flag(n.bDeleted)},
                {"bSelected", flag(n.bSelected)}};
}

Json toJson(const MVMessageNode& n) {
    return Json{{"messageName", text(n.messageName)},
                {"messagePhone", text(n.messagePhone)},
                {"messageContent", text(n.messageContent)},
                {"messageDate", text(n.messageDate)},
                {"messageType", text(n.messageType)},
                {"bImessage", flag(n.bImessage)},
                {"bSelected", flag(n.bSelected)},
                {"bDeleted", flag(n.bDeleted)},
                {"handle_id", n.handle_id},
                {"isHasAttach", flag(n.isHasAttach)},
                {"attachmentPath", text(n.attachmentPath)},
                {"attachType", text(n.attachType)},
                {"rowId", n.rowId},
                {"contactImageData", bytes(n.contactImageData)}};
}

Json toJson(const MVMessageTreeNode& n) {
    Json messages = Json::array();
    for (const auto& m : n.MessageNodeArray)
        if (m) messages.push_back(toJson(*m));
    return Json{{"messageTreeNodeName", text(n.messageTreeNodeName)},
                {"messageTreeNodeAdress", text(n.messageTreeNodeAdress)},
                {"bSelected", flag(n.bSelected)},
                {"bdeleted", flag(n.bdeleted)},
                {"MessageNodeArray", std::move(messages)}};
}

Json toJson(const MVCallHistoryNode& n) {
    return Json{{"callName", text(n.callName)},         {"callPhone", text(n.callPhone)},
                {"callDate", text(n.callDate)},         {"callType", text(n.callType)},
                {"callTime", n.callTime},               {"callDuration", text(n.callDuration)},
                {"bSelected", flag(n.bSelected)},       {"bDeleted", flag(n.bDeleted)}};
}

Json toJson(const MVNoteNode& n) {
    return Json{{"noteTitle", text(n.noteTitle)}, {"noteContent", text(n.noteContent)},
                {"noteDate", text(n.noteDate)},   {"uid", n.uid},
                {"bSelected", flag(n.bSelected)}, {"bDeleted", flag(n.bDeleted)}};
}

Json toJson(const MVBookMarkNode& n) {
    return Json{{"bookMarkTitle", text(n.bookMarkTitle)}, {"bookMarkURL", text(n.bookMarkURL)},
                {"bSelected", flag(n.bSelected)},         {"bDeleted", flag(n.bDeleted)}};
}

Json toJson(const MVCalenderNode& n) {
    return Json{{"calTitle", text(n.calTitle)},   {"calNote", text(n.calNote)},     {"location", text(n.location)},
                {"startDate", text(n.startDate)}, {"endDate", text(n.endDate)},     {"bDeleted", flag(n.bDeleted)},
                {"bSelected", flag(n.bSelected)}};
}

Json toJson(const MVPhotoAndVideoNode& n) {
    return Json{{"fileNodeName", text(n.fileNodeName)}, {"fileNodeSize", text(n.fileNodeSize)},
                {"filePath", text(n.filePath)},         {"bmov", flag(n.bmov)},
                {"bSelected", flag(n.bSelected)},       {"fileSizeNumber", n.fileSizeNumber}};
}

Json toJson(const MVFaceTwitterNode& n) {
    return Json{{"faceTwitterFileName", text(n.faceTwitterFileName)},
                {"faceTwitterFilePath", text(n.faceTwitterFilePath)},
                {"fileSize", text(n.fileSize)},
                {"bSelected", flag(n.bSelected)},
                {"FileSizeNumber", n.FileSizeNumber}};
}

Json toJson(const MVTreeFileNode& n) {
    return Json{{"treefileName", text(n.treefileName)}, {"treefileType", text(n.treefileType)},
                {"fileSize", text(n.fileSize)},         {"realFileSize", n.realFileSize},
                {"isFile", n.isFile ? 1 : 0},           {"filePath", text(n.filePath)},
                {"dirFilePath", text(n.dirFilePath)},   {"bSelected", n.bSelected ? 1 : 0}};
}

Json toJson(const MVTreeDirNode& n) {
    Json children = Json::array();
    for (const auto& c : n.children)
        if (c) children.push_back(toJson(*c));
    Json files = Json::array();
    for (const auto& f : n.fileChildren)
        if (f) files.push_back(toJson(*f));
    return Json{{"fileName", text(n.fileName)},
                {"isSelected", n.isSelected},
                {"children", std::move(children)},
                {"fileChildren", std::move(files)}};
}

namespace {
template <class List>
Json listJson(const List& list) {
    Json out = Json::array();
    for (const auto& r : list)
        if (r) out.push_back(toJson(*r));
    return out;
}
}  // namespace

Json scanToJson(const ScanSession& s) {
    const auto& st = s.store;
    Json out;
    out["backup"] = s.app.currentNode ? toJson(*s.app.currentNode) : Json(nullptr);
    out["flags"] = Json{{"currentNodeIsiOS6Version", s.app.currentNodeIsiOS6Version ? 1 : 0},
                        {"bIOS7DeviceNode", s.app.bIOS7DeviceNode ? 1 : 0}};
    out["contacts"] = listJson(st.contactArray);
    out["messages"] = listJson(st.messageArray);
    out["conversations"] = listJson(st.messageTreeArray);
    out["calls"] = listJson(st.callHistoryArray);
    out["notes"] = listJson(st.noteArray);
    out["bookmarks"] = listJson(st.bookMarkArray);
    out["calendar"] = listJson(st.calenderArray);
    out["photos"] = listJson(st.photoAndVideoArray);
    out["social"] = listJson(st.faceTwitterArray);
    out["tree"] = listJson(st.treeController.content);
    return out;
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

long countTreeFiles(const std::vector<TreeDirPtr>& dirs) {
    long n = 0;
    for (const auto& d : dirs) {
        if (!d) continue;
        n += static_cast<long>(d->fileChildren.size());
        n += countTreeFiles(d->children);
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

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

std::optional<std::string> runScan(ScanSession& session, const std::string& backupDir, bool showProgress) {
    ProgressBar bar("Scanning", showProgress);
    auto problem = session.run(backupDir, [&bar](int percent) { bar.update(percent); });
    bar.finish();
    return problem;
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
                {"backUpFilePath", text(n.backUpFilePath)},       {"backupFormat", backupFormatName(n.backupFormat)},
                {"bEncrypted", flag(n.bEncrypted)}};
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

bool printProblems(const MVResultViewController& store) {
    const std::vector<std::string> problems = store.problems();
    for (const std::string& p : problems) std::fprintf(stderr, "salvor: %s\n", p.c_str());
    return !problems.empty();
}

void printCountTable(const std::vector<CategoryCount>& counts) {
    std::printf("%-18s %10s %10s\n", "Category", "Live", "Deleted");
    for (const auto& c : counts) std::printf("%-18s %10ld %10ld\n", c.name.c_str(), c.live, c.deleted);
}

}  // namespace salvor::cli

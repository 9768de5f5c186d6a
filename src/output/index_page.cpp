#include "output/index_page.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "core/utf8.h"
#include "output/export_values.h"
#include "output/html_controller.h"
#include "output/rtf_controller.h"

namespace salvor::output {

std::string relativeLink(std::string_view path) { return urlEncodePath(path); }

namespace {

std::string esc(std::string_view text) { return htmlEscape(utf8::replaceInvalid(text)); }

unsigned be16(const unsigned char* p) { return static_cast<unsigned>(p[0]) << 8 | p[1]; }
unsigned be32(const unsigned char* p) { return be16(p) << 16 | be16(p + 2); }

bool jpegSize(const unsigned char* b, std::size_t n, int& w, int& h) {
    std::size_t at = 2;
    while (at + 9 < n) {
        if (b[at] != 0xFF) return false;
        const unsigned marker = b[at + 1];
        if (marker == 0xFF) {
            ++at;
            continue;
        }
        const unsigned length = be16(b + at + 2);
        // Start-of-frame markers carry the size; C4, C8 and CC are not frames.
        if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC) {
            h = static_cast<int>(be16(b + at + 5));
            w = static_cast<int>(be16(b + at + 7));
            return w > 0 && h > 0;
        }
        if (length < 2) return false;
        at += 2 + length;
    }
    return false;
}

}  // namespace

bool pictureSize(const std::string& path, int& width, int& height) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return false;
    std::vector<unsigned char> b(256 * 1024);
    std::size_t n = 0;
    while (n < b.size()) {
        const ssize_t got = ::read(fd, b.data() + n, b.size() - n);
        if (got <= 0) break;
        n += static_cast<std::size_t>(got);
    }
    ::close(fd);
    if (n >= 24 && std::memcmp(b.data(), "\x89PNG\r\n\x1a\n", 8) == 0) {
        width = static_cast<int>(be32(b.data() + 16));
        height = static_cast<int>(be32(b.data() + 20));
        return width > 0 && height > 0;
    }
    if (n >= 10 && std::memcmp(b.data(), "GIF8", 4) == 0) {
        width = b[6] | b[7] << 8;
        height = b[8] | b[9] << 8;
        return width > 0 && height > 0;
    }
    if (n >= 4 && b[0] == 0xFF && b[1] == 0xD8) return jpegSize(b.data(), n, width, height);
    return false;
}

namespace {

struct Count {
    std::size_t live = 0, deleted = 0;
};

template <class List>
Count countOf(const List& list) {
    Count c;
    for (const auto& r : list) {
        if (!r || r->bSelected != 1) continue;
        (r->bDeleted ? c.deleted : c.live)++;
    }
    return c;
}

void row(std::string& out, const std::string& label, const std::string& value) {
    if (value.empty()) return;
    out += "<tr><th>" + esc(label) + "</th><td>" + esc(value) + "</td></tr>\n";
}

void countRow(std::string& out, const std::string& what, Count c) {
    if (c.live + c.deleted == 0) return;
    out += "<tr><td>" + esc(what) + "</td><td>" + std::to_string(c.live) + "</td><td>" + std::to_string(c.deleted) +
           "</td></tr>\n";
}

bool isPicture(const std::string& name) {
    const auto dot = name.rfind('.');
    if (dot == std::string::npos) return false;
    std::string ext = name.substr(dot + 1);
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
    return ext == "jpg" || ext == "jpeg" || ext == "png" || ext == "gif";
}

// The part of a path after its folder ("Contact/Ann.vcf" → "Ann.vcf").
std::string inFolder(const std::string& path) {
    const auto slash = path.find('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

void fileList(std::string& out, const std::vector<std::string>& paths) {
    out += "<ul>\n";
    for (const auto& p : paths)
        out += "<li><a href=\"" + relativeLink(p) + "\">" + esc(inFolder(p)) + "</a></li>\n";
    out += "</ul>\n";
}

constexpr int kThumb = 160;

void thumbnails(std::string& out, const RecoveryReport& report, const std::vector<std::string>& paths) {
    std::vector<std::string> others;
    out += "<div class=\"photos\">\n";
    for (const auto& p : paths) {
        int w = 0, h = 0;
        if (!isPicture(p) || !pictureSize(report.destination + "/" + p, w, h)) {
            others.push_back(p);
            continue;
        }
        // The copy itself, drawn at thumbnail size.
        const double scale = std::min(1.0, static_cast<double>(kThumb) / std::max(w, h));
        const int tw = std::max(1, static_cast<int>(w * scale + 0.5)), th = std::max(1, static_cast<int>(h * scale + 0.5));
        const std::string link = relativeLink(p);
        out += "<a href=\"" + link + "\"><img src=\"" + link + "\" width=\"" + std::to_string(tw) + "\" height=\"" +
               std::to_string(th) + "\" loading=\"lazy\" alt=\"" + esc(inFolder(p)) + "\" title=\"" +
               esc(inFolder(p)) + "\"></a>\n";
    }
    out += "</div>\n";
    if (!others.empty()) fileList(out, others);
}

void problems(std::string& out, const char* title, const std::vector<RecoveryFailure>& list,
              const std::string& destination) {
    if (list.empty()) return;
    out += "<h2>" + esc(title) + " (" + std::to_string(list.size()) + ")</h2>\n<ul class=\"problems\">\n";
    for (const auto& f : list) {
        std::string item = f.item;
        if (item.rfind(destination + "/", 0) == 0) item = item.substr(destination.size() + 1);
        out += "<li><b>" + esc(item) + "</b>: " + esc(f.reason) + "</li>\n";
    }
    out += "</ul>\n";
}

const char* kStyle =
    "body{font-family:sans-serif;margin:2em;color:#222;max-width:70em}"
    "table{border-collapse:collapse;margin-bottom:1em}th,td{text-align:left;padding:.2em .8em;border-bottom:1px solid #ddd}"
    "th{font-weight:600}.photos a{display:inline-block;margin:4px;vertical-align:middle}"
    ".photos img{border:1px solid #ccc;border-radius:4px}.problems b{font-weight:600}";

}  // namespace

std::string indexPage(const RecoverySource& source, const RecoveryReport& report, std::chrono::sys_seconds when) {
    const MVIOSDeviceNode* device = source.device.get();
    const std::string deviceName = device ? cleanText(device->strDeviceName) : std::string();
    std::string out = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>Recovered from " +
                      esc(deviceName) + "</title>\n<style>" + kStyle + "</style>\n</head>\n<body>\n";
    out += "<h1>Recovered from " + esc(deviceName.empty() ? std::string("a backup") : deviceName) + "</h1>\n<table>\n";
    if (device) {
        row(out, "Device", deviceName);
        row(out, "Model", cleanText(device->strDeviceType));
        row(out, "System version", cleanText(device->strIOSVersion));
        row(out, "Serial number", cleanText(device->strDeviceSerial));
        row(out, "Backup made", cleanText(device->strDeviceBackUpTime));
        row(out, "Backup folder", cleanText(device->backUpFilePath));
    }
    row(out, "Recovered on", localStamp(when));
    out += "</table>\n";

    Count messages, conversations;
    for (const auto& c : source.messageTreeArray) {
        if (!c || c->bSelected != 1) continue;
        (c->bdeleted ? conversations.deleted : conversations.live)++;
        for (const auto& m : c->MessageNodeArray)
            if (m) (m->bDeleted ? messages.deleted : messages.live)++;
    }
    Count social;
    for (const auto& f : source.faceTwitterArray)
        if (f && f->bSelected == 1) ++social.live;
    out += "<h2>What was recovered</h2>\n<table>\n<tr><th>Category</th><th>Live</th><th>Deleted</th></tr>\n";
    countRow(out, "Photos and videos", countOf(source.photoAndVideoArray));
    countRow(out, "Contacts", countOf(source.contactArray));
    countRow(out, "Conversations", conversations);
    countRow(out, "Messages", messages);
    countRow(out, "Calls", countOf(source.callHistoryArray));
    countRow(out, "Notes", countOf(source.noteArray));
    countRow(out, "Bookmarks and history", countOf(source.bookMarkArray));
    countRow(out, "Calendar events and reminders", countOf(source.calendarArray));
    countRow(out, "Social app files", social);
    out += "</table>\n";

    for (const auto& folder : report.folders) {
        if (folder.folder.empty() || folder.written.empty()) continue;
        out += "<h2><a href=\"" + relativeLink(folder.folder) + "/\">" + esc(folder.folder) + "</a> (" +
               std::to_string(folder.written.size()) + (folder.written.size() == 1 ? " file" : " files") + ")</h2>\n";
        if (folder.folder == kPhotoFolder) thumbnails(out, report, folder.written);
        else fileList(out, folder.written);
    }
    problems(out, "Not written", report.failures, report.destination);
    problems(out, "Not in the backup", report.notInBackup, report.destination);
    if (report.cancelled) out += "<p>The recovery was stopped before it had written everything.</p>\n";
    out += "</body>\n</html>\n";
    return out;
}

}  // namespace salvor::output

#include "output/safe_name.h"

#include "core/utf8.h"

namespace salvor::output {

namespace {
constexpr std::size_t kMaxExtensionBytes = 16;

bool isControl(char32_t cp) { return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F); }

// Shortens the stem so stem + tail fits; the tail is kept whole.
std::string fit(std::string_view stem, std::string_view tail) {
    const std::size_t room = tail.size() >= kMaxNameBytes ? 0 : kMaxNameBytes - tail.size();
    std::string out(utf8::prefixWithin(stem, room));
    out.append(tail);
    return out;
}
}  // namespace

void splitExtension(std::string_view name, std::string_view& stem, std::string_view& extension) {
    const std::size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0 || name.size() - dot > kMaxExtensionBytes) {
        stem = name;
        extension = {};
        return;
    }
    stem = name.substr(0, dot);
    extension = name.substr(dot);
}

namespace {

// Leading dots would hide the file; spaces at either end are invisible in a
// listing and trailing dots are dropped by some file systems.
void makeVisible(std::string& name) {
    std::size_t start = 0;
    while (start < name.size() && (name[start] == '.' || name[start] == ' ')) ++start;
    std::size_t end = name.size();
    while (end > start && (name[end - 1] == ' ' || name[end - 1] == '.')) --end;
    name = name.substr(start, end - start);
}

std::string safeName(std::string_view field, std::string_view extension, bool visible) {
    std::string clean;
    clean.reserve(field.size());
    std::size_t pos = 0;
    while (pos < field.size()) {
        const std::size_t start = pos;
        char32_t cp = 0;
        if (!utf8::nextCodePoint(field, pos, cp) || isControl(cp) || cp == '/' || cp == '\\') {
            clean.push_back('_');
        } else {
            clean.append(field.substr(start, pos - start));
        }
    }
    if (visible) makeVisible(clean);
    if (clean.empty() || clean == "." || clean == "..") clean = "unnamed";
    if (clean.size() + extension.size() <= kMaxNameBytes) return clean + std::string(extension);
    if (!extension.empty()) return fit(clean, extension);
    std::string_view stem, ext;
    splitExtension(clean, stem, ext);
    return fit(stem, ext);
}

}  // namespace

std::string safeFileName(std::string_view field, std::string_view extension) {
    return safeName(field, extension, true);
}

std::vector<std::string> safeRelativePath(std::string_view path) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t slash = path.find('/', start);
        if (slash == std::string_view::npos) slash = path.size();
        const std::string_view part = path.substr(start, slash - start);
        // The device's own file names are kept as they are, dots included.
        if (!part.empty() && part != "." && part != "..") parts.push_back(safeName(part, {}, false));
        start = slash + 1;
    }
    return parts;
}

std::string numberedName(const std::string& safeName, unsigned n) {
    if (n <= 1) return safeName;
    std::string_view stem, ext;
    splitExtension(safeName, stem, ext);
    return fit(stem, " (" + std::to_string(n) + ")" + std::string(ext));
}

}  // namespace salvor::output

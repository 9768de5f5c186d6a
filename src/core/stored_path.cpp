#include "core/stored_path.h"

#include <cstring>

namespace salvor {

namespace {

constexpr char kHex[] = "0123456789abcdef";

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;  // upper case too: the name must come back byte for byte
}

}  // namespace

StoredPath::StoredPath(std::shared_ptr<const std::string> folder, std::string_view name) {
    bool hex = folder && name.size() == 40;
    for (std::size_t i = 0; hex && i < 20; ++i) {
        const int high = hexValue(name[2 * i]), low = hexValue(name[2 * i + 1]);
        hex = high >= 0 && low >= 0;
        if (hex) digest_[i] = static_cast<std::uint8_t>(high << 4 | low);
    }
    if (hex) {
        text_ = std::move(folder);
        form_ = Form::FolderAndName;
        return;
    }
    std::string whole = folder ? *folder + "/" : std::string();
    whole.append(name);
    assignWhole(whole);
}

void StoredPath::assignWhole(std::string_view path) {
    static const auto empty = std::make_shared<const std::string>();  // a node's first value, shared
    text_ = path.empty() ? empty : std::make_shared<const std::string>(path);
    form_ = Form::Whole;
}

std::string StoredPath::text() const {
    switch (form_) {
    case Form::Absent: return {};
    case Form::Whole: return *text_;
    case Form::FolderAndName: break;
    }
    std::string out;
    out.reserve(text_->size() + 41);
    out.append(*text_).push_back('/');
    for (std::uint8_t b : digest_) {
        out.push_back(kHex[b >> 4]);
        out.push_back(kHex[b & 0x0F]);
    }
    return out;
}

std::string StoredPath::value() const {
    if (!has_value()) throw std::bad_optional_access();
    return text();
}

std::string StoredPath::name() const {
    if (form_ == Form::FolderAndName) {
        std::string out(40, '0');
        for (std::size_t i = 0; i < 20; ++i) {
            out[2 * i] = kHex[digest_[i] >> 4];
            out[2 * i + 1] = kHex[digest_[i] & 0x0F];
        }
        return out;
    }
    const std::string whole = text();
    const std::size_t slash = whole.rfind('/');
    return slash == std::string::npos ? whole : whole.substr(slash + 1);
}

std::pair<std::string_view, std::string_view> StoredPath::parts(char (&scratch)[40]) const {
    switch (form_) {
    case Form::Absent: return {};
    case Form::FolderAndName:
        for (std::size_t i = 0; i < 20; ++i) {
            scratch[2 * i] = kHex[digest_[i] >> 4];
            scratch[2 * i + 1] = kHex[digest_[i] & 0x0F];
        }
        return {std::string_view(*text_), std::string_view(scratch, 40)};
    case Form::Whole: break;
    }
    const std::string_view whole(*text_);
    const std::size_t slash = whole.rfind('/');
    if (slash == std::string_view::npos) return {std::string_view(), whole};
    return {whole.substr(0, slash), whole.substr(slash + 1)};
}

bool StoredPath::operator==(std::string_view path) const {
    switch (form_) {
    case Form::Absent: return false;
    case Form::Whole: return *text_ == path;
    case Form::FolderAndName: break;
    }
    // Compared in place: lookups compare one path against every record.
    const std::string& folder = *text_;
    if (path.size() != folder.size() + 41 || path.compare(0, folder.size(), folder) != 0 || path[folder.size()] != '/')
        return false;
    const char* name = path.data() + folder.size() + 1;
    for (std::size_t i = 0; i < 20; ++i)
        if (name[2 * i] != kHex[digest_[i] >> 4] || name[2 * i + 1] != kHex[digest_[i] & 0x0F]) return false;
    return true;
}

bool StoredPath::operator==(const StoredPath& other) const {
    if (form_ == Form::FolderAndName && other.form_ == Form::FolderAndName)
        return digest_ == other.digest_ && (text_ == other.text_ || *text_ == *other.text_);
    if (!has_value() || !other.has_value()) return has_value() == other.has_value();
    return *this == std::string_view(other.text());
}

}  // namespace salvor

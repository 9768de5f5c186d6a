// Small helpers shared by the live extractors.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "core/byte_reader.h"
#include "core/scan_context.h"
#include "core/stored_file.h"
#include "core/helpers.h"
#include "core/records.h"
#include "core/utf8.h"
#include "extract/sqlite_db.h"

namespace salvor::extract_detail {

// The stored file `name` inside backup folder `folder`.
inline std::string storedPath(const std::string& folder, const char* name) { return folder + "/" + name; }

inline bool fileExists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(path, ec);
}

// The first of the stored files `names` that exists in `folder`; empty when none does.
template <std::size_t N>
std::string firstExistingStored(const std::string& folder, const char* const (&names)[N]) {
    for (const char* name : names)
        if (fileExists(storedPath(folder, name))) return storedPath(folder, name);
    return {};
}

// A column value converted to text; only called for present, non-empty values.
// Invalid UTF-8 sequences become U+FFFD, so one bad byte costs one character.
inline std::string columnText(const char* value) { return GetStringFormChar(value); }

// The bytes of a blob meant as text: kept when they are UTF-8, otherwise
// empty, since binary data (a property list, say) is no text to show.
inline std::string blobText(const std::string& bytes) { return utf8::isValid(bytes) ? bytes : std::string(); }

// Sets `field` from a column value when it is present and not empty.
inline void setText(Text& field, const char* value) {
    if (sqlite::hasText(value)) field = columnText(value);
}

// Appends " value" to `field` when the value is present and not empty.
inline void appendText(Text& field, const char* value) {
    if (!sqlite::hasText(value)) return;
    field = textOrEmpty(field) + " " + columnText(value);
}

// Sets a date field from a timestamp column when it is present and not empty;
// a field without the column keeps no date, which shows differently from a
// value too far out to be written.
inline void setDate(std::optional<Timestamp>& field, const char* value, std::uint8_t fileType) {
    if (sqlite::hasText(value)) field = timestampOf(sqlite::parseInteger(value), fileType);
}

// The kind of a message attachment by its device path: "Image", "Mov"
// (video or audio), "Contact", "Location", or absent.
inline Text attachmentKind(const std::string& path) {
    const auto slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const auto dot = name.rfind('.');
    const std::string ext = dot == std::string::npos ? std::string() : name.substr(dot + 1);
    const char* e = dot == std::string::npos ? nullptr : ext.c_str();
    if (GetImageType(e) >= 0) return "Image";
    if (GetViedoType(e) >= 0) return "Mov";
    if (GetAudioType(e) >= 0) return "Mov";
    if (name == "Contact.vcf") return "Contact";
    if (name == "Current Location.loc.vcf") return "Location";
    return std::nullopt;
}

inline std::string removeAll(std::string text, const std::string& what) {
    for (auto pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos)) text.erase(pos, what.size());
    return text;
}

// A contact or location card attachment, read whole (decrypted in an
// encrypted backup). Only a regular file of the backup is read: a link is not
// followed, a FIFO never waited on, and a card larger than any real one is
// left out.
inline Bytes readWholeFile(const ScanContext& ctx, const std::string& path) {
    constexpr std::uint64_t kMaxCardBytes = 64ull << 20;
    std::string why;
    auto bytes = readStoredFile(ctx.cipher.get(), path, kMaxCardBytes, why);
    if (!bytes) return nullptr;
    return std::make_shared<const ByteBuffer>(std::move(*bytes));
}

}  // namespace salvor::extract_detail

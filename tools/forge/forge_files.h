// Small writing helpers shared by the backup writers of the forge: files with
// a chosen modification time, and property-list values.
#pragma once

#include <plist/plist.h>

#include <cstdint>
#include <memory>
#include <string>

#include "forge/content.h"
#include "forge/forge.h"

namespace salvor::forge::files {

struct PlistDeleter {
    void operator()(void* p) const { plist_free(static_cast<plist_t>(p)); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

void setString(plist_t dict, const char* key, const std::string& value);
// A property-list date of the Unix time `unixSeconds` (dates count from 2001).
plist_t dateValue(std::int64_t unixSeconds);
// `digits` random hexadecimal digits, in upper or lower case.
std::string hexOf(Rng& rng, std::size_t digits, bool upper);

// Creates or truncates `path` with `data`; throws with a readable message.
void writeFile(const std::string& path, const std::uint8_t* data, std::size_t size);
inline void writeFile(const std::string& path, const Bytes& data) { writeFile(path, data.data(), data.size()); }
void setModificationTime(const std::string& path, std::int64_t when);
// Both: the file as a backup holds it, dated `mtime`.
inline void writeFileAt(const std::string& path, const Bytes& data, std::int64_t mtime) {
    writeFile(path, data);
    setModificationTime(path, mtime);
}

// The three description files of a backup in the iOS 10 and later layout
// (Info.plist, Manifest.plist, Status.plist), dated `finished`: they are
// written as the backup ends, a while after the date they record.
struct ModernDescription {
    std::string folder, deviceName, udid, serial, build, productType, productName, version, itunesVersion;
    std::string appId, appVersion;  // the one application the backup lists
    std::int64_t backupTime = 0, finished = 0;
    bool encrypted = false;
    bool withIccid = false;  // a phone with a SIM card
    std::string snapshotState = "finished";
    // Written only when not empty (older tools leave them out).
    std::string systemDomainsVersion, manifestVersion, statusVersion;
};
// Writes them; returns Info.plist's size in bytes, as text.
std::string writeModernDescription(const ModernDescription& d, Rng& rng);

}  // namespace salvor::forge::files

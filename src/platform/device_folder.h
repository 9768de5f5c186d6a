// The private per-user folder where a device's backup and camera copies are
// kept: <cache>/salvor/device/<udid>/{Backup,Photo}, where <cache> is
// $XDG_CACHE_HOME or ~/.cache. Other users of the machine can neither read it
// nor plant links in it: every folder of ours is made with mode 0700 and is
// refused when it is a link, not a folder or owned by someone else.
#pragma once

#include <optional>
#include <string>

namespace salvor::device {

struct DeviceFolders {
    std::string root;    // .../salvor/device/<udid>
    std::string backup;  // the root folder handed to the backup tool
    std::string photo;   // camera copies
};

// Makes (or checks) the folders for `udid`; absent with `error` set when they
// cannot be used safely. An identifier with anything but letters, digits and
// '-' is refused.
std::optional<DeviceFolders> privateDeviceFolders(const std::string& udid, std::string& error);

// "<cache>/salvor", where every device's folders go (nothing is created); empty when no home is known.
std::string privateFoldersBase();

// Makes (or checks) one private folder; false with `error` when unusable.
bool ensurePrivateFolder(const std::string& path, std::string& error);

// Creates a new file `name` in `dir` without following links and without
// replacing anything: when the name is taken, "name (2).ext", "name (3).ext"...
// Returns the open descriptor (or -1) and sets `path` to the file made.
int createNewFile(const std::string& dir, const std::string& name, std::string& path);

// Removes the regular files directly inside `dir` (never following links).
void removeFilesIn(const std::string& dir);

}  // namespace salvor::device

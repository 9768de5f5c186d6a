// Whether a folder can receive a recovery run, checked before anything is
// scanned or written.
#pragma once

#include <optional>
#include <string>

namespace salvor {

// Why `destination` cannot receive the recovery of the backup at
// `backupFolder` (one sentence), or nothing when it can. Refused: an empty
// name, a place inside the backup folder (links resolved: the backup is never
// written), an existing file that is not a folder, and a place whose nearest
// existing folder cannot be written.
std::optional<std::string> destinationProblem(const std::string& destination, const std::string& backupFolder);

}  // namespace salvor

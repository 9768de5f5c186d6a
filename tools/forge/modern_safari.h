// Safari's bookmarks and history of an iOS 12, 15 or 17 backup.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "forge/modern_category.h"

namespace salvor::forge::modern {

// Writes Bookmarks.db and History.db into `outDir`. Layouts: the iOS 7.1
// bookmarks table (no later Bookmarks.db layout was found; the reader picks its
// columns by name) and the iOS 11.2 History.db, for every version. `truth`
// becomes {"live": [the bookmarks in table order, then one entry per history
// page, most recently visited first, as a scan delivers them]}. With
// `withHistory` false no History.db is written (an unencrypted backup).
std::vector<PlantedFile> writeModernSafari(const std::string& outDir, int iosMajor, std::uint64_t seed,
                                           nlohmann::json& truth, bool withHistory = true);

}  // namespace salvor::forge::modern

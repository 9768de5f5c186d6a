// The calendar database of an iOS 12, 15 or 17 backup.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "forge/modern_category.h"

namespace salvor::forge::modern {

// Writes Calendar.sqlitedb into `outDir`. Layouts: iOS 11.2 for iOS 12; for
// iOS 15 and 17 the iOS 11.2 file with the iOS 14.3 CalendarItem and
// Participant tables (the newest the forge carries; later versions only
// append columns). `truth` becomes {"live": [event records as a scan delivers
// them]}.
std::vector<PlantedFile> writeModernCalendar(const std::string& outDir, int iosMajor, std::uint64_t seed,
                                             nlohmann::json& truth);

}  // namespace salvor::forge::modern

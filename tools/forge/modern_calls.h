// The call history of an iOS 12, 15 or 17 backup (an encrypted backup holds
// it; an unencrypted one does not, so a scenario may leave it out).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "forge/modern_category.h"

namespace salvor::forge::modern {

// Writes CallHistory.storedata into `outDir`. Layouts: iOS 11.2 for iOS 12
// (the address still a blob), iOS 17 for iOS 15 and 17. `contacts` is the
// truth of writeModernContacts for the same backup (null when it has none):
// some calls are with its people and carry their names. `truth` becomes
// {"live": [call records as a scan delivers them]}.
std::vector<PlantedFile> writeModernCalls(const std::string& outDir, int iosMajor, std::uint64_t seed,
                                          const nlohmann::json& contacts, nlohmann::json& truth);

}  // namespace salvor::forge::modern

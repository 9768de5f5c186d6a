// The address book and its picture database of an iOS 12, 15 or 17 backup.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "forge/modern_category.h"

namespace salvor::forge::modern {

// Writes AddressBook.sqlitedb and AddressBookImages.sqlitedb into `outDir`.
// Layouts: iOS 15.3 for iOS 12 and 15 (the oldest modern address book the
// forge carries), iOS 16.1 for iOS 17; the picture database is the same in
// all of them. `truth` becomes {"live": [contact records as a scan delivers
// them], "phoneNumbers": [[each live contact's numbers as stored], ...]}.
std::vector<PlantedFile> writeModernContacts(const std::string& outDir, int iosMajor, std::uint64_t seed,
                                             nlohmann::json& truth);

}  // namespace salvor::forge::modern

// Rows inserted by column name, for the layouts of iOS 10 and later, whose
// tables have dozens of columns a forged row leaves at their defaults.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "forge/db_common.h"

namespace salvor::forge::db {

using Named = std::vector<std::pair<const char*, V>>;

// INSERT INTO table(names...) VALUES(...); throws with SQLite's message.
void insertNamed(DbFile& db, const std::string& table, const Named& values);

// Writes `bytes` to `path`, replacing it.
void writeBytes(const std::string& path, const Blob& bytes);

}  // namespace salvor::forge::db

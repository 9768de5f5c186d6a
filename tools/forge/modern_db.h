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

// Switches `db` (outside a transaction) to write-ahead-log mode with
// automatic checkpoints off: what is written from then on stays in the log,
// as on a phone backed up before it moved its newest rows into the file.
void startLog(DbFile& db);

// A database file as it is while its connection is open, and its log.
struct FileAndLog {
    Blob database;  // without the rows only the log holds
    Blob log;       // empty when the database keeps no log
};

// Takes the file at `path` (the one `db` was opened on) and its "-wal" log as
// they are now, then closes `db`, which removes both.
FileAndLog finishWithLog(DbFile& db, const std::string& path);

// Writes `bytes` to `path`, replacing it.
void writeBytes(const std::string& path, const Blob& bytes);

}  // namespace salvor::forge::db

// Shared pieces of the writers of the category databases of iOS 10 and later
// backups: each writer builds its databases from the real table layouts of the
// nearest system version the forge carries, writes them into a folder and
// returns where each belongs on the device, with the records a scan must
// deliver from them.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "forge/db_common.h"

namespace salvor::forge::modern {

// One database file written by a category writer, to be listed in the
// backup's Manifest.db under (domain, relativePath) and stored from localFile.
struct PlantedFile {
    std::string domain;
    std::string relativePath;
    std::string localFile;
};

// The layouts the forge carries stand for these system versions; any other
// version is refused (std::invalid_argument).
void checkVersion(int iosMajor);

// "INSERT INTO table (names...) VALUES (...)": the newer layouts have dozens
// of columns that stay at their defaults, so rows name what they fill.
void insertNamed(db::DbFile& db, const std::string& table, const std::vector<std::pair<std::string, db::V>>& values);

// Closes `db`, writes its bytes to `outDir`/`fileName` and returns that path.
std::string finishInto(db::DbFile& db, const std::string& outDir, const std::string& fileName);

// Commits the transaction open on `db`, keeps what is written from then on in
// the database's log (db::startLog) and begins another transaction: the
// phone's newest rows, not yet moved into the file when it was backed up.
void logFromHere(db::DbFile& db);

// As finishInto, for a database `db` opened at `openPath` whose last rows may
// be in its log: writes the file without them and the log beside it, and
// returns the database as (domain, relativePath) and, when it keeps a log,
// the log as (domain, relativePath + "-wal").
std::vector<PlantedFile> finishWithLogInto(db::DbFile& db, const std::string& openPath, const std::string& outDir,
                                           const std::string& fileName, const std::string& domain,
                                           const std::string& relativePath);

// Seconds since 2001 of a UTC calendar date and time.
double seconds2001(int year, int month, int day, int hour, int minute, int second = 0);

// The people of an address book's truth (writeModernContacts), as the
// reader's name lookup sees them; empty for null.
std::vector<db::LookupEntry> lookupBook(const nlohmann::json& contacts);

// A number as the phone dials and logs it: digits and '+' only.
std::string dialled(const std::string& stored);

}  // namespace salvor::forge::modern

namespace salvor::forge::modern {

// All four writers for one backup, with one seed: the address book, the
// calendar and Safari's bookmarks always; the call log and Safari's history
// only with `encryptedOnlyData` (an unencrypted modern backup holds neither).
// `truth` gets "contacts", "calendar", "bookmarks" (bookmarks then history
// pages) and, when written, "calls", each {"live": [...]} as a scan delivers
// them.
std::vector<PlantedFile> writeModernCategories(const std::string& outDir, int iosMajor, std::uint64_t seed,
                                               bool encryptedOnlyData, nlohmann::json& truth);

}  // namespace salvor::forge::modern

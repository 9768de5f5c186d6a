// Reading an address book, shared by the readers of the older backups and of
// those that list their files in Manifest.db: the tables kept their names and
// meanings across system versions, only the columns grew.
#pragma once

#include <string>

#include "extract/sqlite_db.h"

namespace salvor {

class ScanContext;
namespace modern {
class CarvedCopy;
}

namespace extract_detail {

// The name a deleted phone number or address is listed under when the person
// it belonged to did not survive.
inline constexpr const char* kNumberWithoutName = "number without a name";

// Column positions of a persons plan: ROWID, First, Department, DisplayName,
// FirstPhonetic, JobTitle, Organization, Middle, MiddlePhonetic, CreationDate,
// Last, Note, Nickname, Prefix, Suffix, Birthday.
inline constexpr int kPersonColumns = 16;

// Appends one picture per row of `plan` (record_id, data) read from the
// prepared copy of the picture database stored at `stored`.
void readContactPictures(ScanContext& ctx, const std::string& stored, const sqlite::ReadPlan& plan);

// Reads every person of `persons` and every multi-value row of `multiValues`
// (record_id, property, value), gives each person the last picture that names
// it, posts each contact in row order and then the stage's progress.
// With `carved`, the database is the private one of carved rows: only the
// deleted persons the carving found are posted, as deleted contacts with their
// values joined by the person's row id, and no progress; `multiValues` then
// has the value row's own id as a fourth column, and with `ownerless`
// deleted values whose person is no row are listed apart ("number without a
// name").
void deliverAddressBook(ScanContext& ctx, const sqlite::Database& db, const sqlite::ReadPlan& persons,
                        const sqlite::ReadPlan& multiValues, const modern::CarvedCopy* carved = nullptr,
                        bool ownerless = true);

}  // namespace extract_detail
}  // namespace salvor

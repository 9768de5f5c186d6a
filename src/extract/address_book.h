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
// values joined by the person's row id, and no progress.
void deliverAddressBook(ScanContext& ctx, const sqlite::Database& db, const sqlite::ReadPlan& persons,
                        const sqlite::ReadPlan& multiValues, const modern::CarvedCopy* carved = nullptr);

}  // namespace extract_detail
}  // namespace salvor

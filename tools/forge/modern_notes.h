// The Core Data notes store (NoteStore.sqlite) of iOS 10 and later backups.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "forge/modern_sms.h"

namespace salvor::forge {

// Writes a NoteStore.sqlite at `outPath`: the iOS 11 layout for `iosMajor`
// 12 and earlier, the iOS 17 layout otherwise. One account, folders
// including Recently Deleted, notes with gzip-compressed document bodies
// (emoji, a long text), a password-protected note, notes in Recently Deleted
// and marked for deletion (one without its body).
//
// `truth` receives {"notes": [...], "deletedNotes": [...]} in row order with
// the record's field names plus "locked".
ModernDbResult writeModernNotes(const std::string& outPath, int iosMajor, std::uint64_t seed, nlohmann::json& truth);

// The ZICNOTEDATA.ZDATA of a note: gzip of the protocol-buffer document
// whose note text is `text`.
std::vector<std::uint8_t> noteBodyBlob(const std::string& text);

}  // namespace salvor::forge

// Notes of a backup that lists its files in Manifest.db (iOS 10 and later):
// the Core Data notes store NoteStore.sqlite, and a legacy notes.sqlite when
// the backup still holds one.
#pragma once

#include <string>

namespace salvor {

class ScanContext;

// The text a locked note shows in place of its body, which stays encrypted.
inline constexpr const char* kLockedNoteText = "[Locked note: protected by a password, content not decrypted]";

// Posts one "ScanNoteInfo" per note, and one "ScanDelNoteInfo" per note in
// the Recently Deleted folder or marked for deletion. Does nothing unless
// ctx.modernFormat.
void scanModernNoteThread(ScanContext& ctx, const std::string& backupPath);

}  // namespace salvor

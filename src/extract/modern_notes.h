// Notes of a backup that lists its files in Manifest.db (iOS 10 and later):
// the Core Data notes store NoteStore.sqlite, and a legacy notes.sqlite when
// the backup still holds one.
#pragma once

#include <cstddef>
#include <string>

namespace salvor {

class ScanContext;

// The text a locked note shows in place of its body, which stays encrypted.
inline constexpr const char* kLockedNoteText = "[Locked note: protected by a password, content not decrypted]";

// The text a note shows when its body is too large to read (past
// notebody::kMaxInflated) or would take the notes of the scan past
// kMaxNoteTextPerScan; its title, dates and folder are kept.
inline constexpr const char* kTooLargeNoteText =
    "[Note too large: its text is past what a scan keeps of notes, so it is not shown]";
// All the note text one store gives a scan. One body alone is bounded
// (notebody::kMaxInflated), but a few megabytes of stored file can hold a
// hundred such bodies that together fill gigabytes.
inline constexpr std::size_t kMaxNoteTextPerScan = std::size_t{256} << 20;

// Posts one "ScanNoteInfo" per note, and one "ScanDelNoteInfo" per note in
// the Recently Deleted folder or marked for deletion. Does nothing unless
// ctx.modernFormat.
void scanModernNotes(ScanContext& ctx, const std::string& backupPath);

}  // namespace salvor

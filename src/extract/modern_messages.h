// Messages of a backup that lists its files in Manifest.db (iOS 10 and
// later): sms.db in its newer layouts, read by column name.
#pragma once

#include <string>

namespace salvor {

class ScanContext;

// Posts one "ScanMessageInfo" per message of the backup's sms.db and one
// "ScanDelMessageInfo" per message the phone keeps as recently deleted.
// Reactions, group events and other rows that are no message are left out.
// Does nothing unless ctx.modernFormat.
void scanModernMessages(ScanContext& ctx, const std::string& backupPath);

}  // namespace salvor

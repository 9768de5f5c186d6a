// Calendar events of a backup that lists its files in Manifest.db (iOS 10 and later).
#pragma once

#include <string>

namespace salvor {

class ScanContext;

void scanModernCalendar(ScanContext& ctx, const std::string& backupPath);

}  // namespace salvor

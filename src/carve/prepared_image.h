// The in-memory page image of a database's prepared private copy, which the
// live stage made (write-ahead log folded in): what every deleted-record scan
// carves. The backup's own file is never read here.
#pragma once

#include <functional>
#include <initializer_list>
#include <string>

#include "carve/carve_primitives.h"

namespace salvor {

class ScanContext;

// Loads the prepared copy of the first of `storedNames` the scan prepared and
// calls `carve` with its image. Without a copy (the backup has no such file,
// or the live stage could not prepare it) it ends quietly with `absent` as a
// debug line. A copy larger than the image's limit is carved from its
// written part when the rest is a hole (unwritten space reads as the zeros
// past the image's end); otherwise it is reported as a problem of the scan
// (its deleted records were not searched). An unreadable copy or a refused
// header gets one log line.
// `label` names the file in those lines. False when nothing was carved.
bool withPreparedImage(ScanContext& ctx, const std::string& backupPath,
                       std::initializer_list<const char*> storedNames, const char* absent, const char* label,
                       const std::function<void(const carve::PageImage&)>& carve);

}  // namespace salvor

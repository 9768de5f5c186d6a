#include "carve/deleted_messages.h"

#include "core/scan_context.h"

namespace salvor {

// Interface only for now; the carving itself follows.
void DelMessageScan::scanBackup(ScanContext&, const std::string&) {}

DelMessageScan::DelMessageScan(ScanContext& ctx, const carve::PageImage& image) : ctx_(ctx), image_(image) {}

void DelMessageScan::run() {}

}  // namespace salvor

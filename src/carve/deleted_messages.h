// The deleted-messages scan: carves message records (and, in the newer layout,
// handle records) out of the message database's pages and posts them to the
// result store, which drops the copies of live messages.
#pragma once

#include <string>

#include "carve/carve_primitives.h"

namespace salvor {

class ScanContext;

class DelMessageScan {
public:
    // The stage: carves the prepared private copy of the backup's message
    // database (made by the live messages stage); without one it ends quietly.
    static void scanBackup(ScanContext& ctx, const std::string& backupPath);

    DelMessageScan(ScanContext& ctx, const carve::PageImage& image);

    // Chooses the layout, carves every page, posts one "ScanDelMessageInfo"
    // per carved message. Stops early when the scan is stopped.
    void run();

private:
    ScanContext& ctx_;
    const carve::PageImage& image_;
};

}  // namespace salvor

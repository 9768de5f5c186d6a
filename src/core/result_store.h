// The model half of the result browser: category lists, counters, conversations,
// deleted-record merging, selection, search and sorting. (Being built out.)
#pragma once

#include <vector>

#include "core/records.h"

namespace salvor {

class SalvorAppDelegate;

class MVResultViewController {
public:
    explicit MVResultViewController(SalvorAppDelegate& app) : app_(app) {}
    // End-of-scan step; runs on the main thread and returns when it is done.
    void ScanThreadFinish() {}

private:
    SalvorAppDelegate& app_;
};

}  // namespace salvor

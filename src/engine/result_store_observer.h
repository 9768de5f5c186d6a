// What a view of the result store listens to, instead of polling it. The store
// lives on one thread (its owner's: the window's or the command line's main
// thread) and announces every change there, once before and once after it, so
// a Qt model can call beginInsertRows before the rows exist and endInsertRows
// after; between the two the store's accessors already show the new rows.
#pragma once

#include <cstddef>
#include <string>

#include "core/categories.h"
#include "core/device_node.h"

namespace salvor {

class ResultStoreObserver {
public:
    virtual ~ResultStoreObserver() = default;

    // Records are about to be appended to a category's list at indices
    // [first, first + count), and have been. For messages the list is that of
    // conversations.
    virtual void recordsAboutToBeAdded(Category /*category*/, std::size_t /*first*/, std::size_t /*count*/) {}
    virtual void recordsAdded(Category /*category*/, std::size_t /*first*/, std::size_t /*count*/) {}
    // The record at `index` of a category's list changed in place (an earlier
    // version joined it; a message joined the conversation).
    virtual void recordChanged(Category /*category*/, std::size_t /*index*/) {}
    // Files are about to be placed in the backup tree, and have been.
    virtual void backupFilesAboutToBeAdded(std::size_t /*count*/) {}
    virtual void backupFilesAdded(std::size_t /*count*/) {}
    // Everything listed is about to go, and has gone (another backup is scanned).
    virtual void aboutToClear() {}
    virtual void cleared() {}
    virtual void progressChanged(int /*percent*/) {}
    virtual void statusChanged(const std::string& /*text*/) {}
    virtual void deviceChanged(const DeviceNodePtr& /*device*/) {}
    // Something cost the scan data; one sentence for the person.
    virtual void problemReported(const std::string& /*text*/) {}
    virtual void scanFinished(bool /*cancelled*/) {}
};

}  // namespace salvor

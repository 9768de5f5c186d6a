// What a view of the result store listens to, instead of polling it. Each
// announcement is made on the thread that made the change: records and
// counters on the scan thread, progress, the backup tree, device information,
// the end of a scan, the displayed list and the selection on the main thread (the store
// makes those changes there). An observer that owns a window hands the
// scan-thread announcements over to its own thread; it reads the store through
// the store's snapshot accessors, which are safe while a scan appends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace salvor {

enum class Category;
struct DeviceInfoDisplay;

class ResultStoreObserver {
public:
    virtual ~ResultStoreObserver() = default;

    // Records appended to a category's list at indices [first, first + count).
    // For messages the list is that of conversations; the counters changed with them.
    virtual void recordsAdded(Category /*category*/, std::size_t /*first*/, std::size_t /*count*/) {}
    // The record at `index` of a category's list changed in place (an
    // earlier version joined it). Announced on the main thread.
    virtual void recordChanged(Category /*category*/, std::size_t /*index*/) {}
    // A message joined the conversation at `index`.
    virtual void conversationChanged(std::size_t /*index*/) {}
    // Files were placed in the backup tree (a batch at a time during a scan).
    virtual void backupTreeChanged() {}
    // The counters changed without records being added (a reset).
    virtual void countersChanged() {}
    virtual void progressChanged(int /*percent*/) {}
    virtual void deviceInfoChanged(const DeviceInfoDisplay& /*info*/) {}
    virtual void scanFinished(bool /*cancelled*/) {}
    // Something cost the scan data; one sentence for the person.
    virtual void problemReported(const std::string& /*text*/) {}
    // The shown category's list was refilled (category change, filter, sort,
    // cleared search) and now has `rows` rows.
    virtual void displayedListChanged(Category /*category*/, std::size_t /*rows*/) {}
    // A search published its results; they are the displayed list now.
    virtual void searchResultsPublished(std::size_t /*count*/) {}
    virtual void selectionChanged(std::int32_t /*selectedCount*/) {}
};

}  // namespace salvor

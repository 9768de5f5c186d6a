// The deleted-messages scan: carves message records (and, in the newer layout,
// handle records) out of the message database's pages and posts them to the
// result store, which drops the copies of live messages.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <tuple>
#include <vector>

#include "carve/carve_primitives.h"
#include "core/records.h"

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

    // One column of a carved record: its serial type and where its body lies.
    struct Column {
        std::int64_t type = 0;
        std::uint64_t at = 0;
        std::uint64_t length = 0;
    };
    // The serial types of `columns` columns read as the varints they are, the
    // first (the row id's, NULL) at `base`, right after the header-size byte;
    // the bodies follow the header. Nothing when a type is reserved or a body
    // would end past `end` (a record never leaves its page).
    static std::optional<std::vector<Column>> parseRecord(const carve::PageImage& image, std::uint64_t base,
                                                          std::size_t columns, std::uint64_t end);

private:
    enum class Layout { legacy, legacyWal, newer };

    // A carved handle row; the row id is unknown when freeing the cell
    // overwrote the cell header that held it.
    struct CarvedHandle {
        std::optional<std::int64_t> rowid;
        std::string address;
        std::uint64_t at = 0;
    };

    void scanPage(std::uint64_t page, Layout layout);
    bool carveLegacyRecord(std::uint64_t base, std::uint64_t end, bool withMadrid);
    void carveHandle(std::uint64_t x, std::uint64_t end);
    void carveNewerMessage(std::uint64_t a, std::uint64_t end);
    void joinHandles();
    void finish(const MessagePtr& node);

    // The body bytes of a text or blob column (empty for NULL).
    std::string textOf(const Column& c) const;
    // Value of an integer or float column (NULL gives nothing).
    std::optional<std::int64_t> numberOf(const Column& c) const;

    ScanContext& ctx_;
    const carve::PageImage& image_;
    std::vector<MessagePtr> pending_;  // newer layout: awaiting the handle join
    std::vector<std::string> pendingGuids_;  // the guid of each of pending_
    std::set<std::string> liveGuids_;        // guids of the rows the file lists as live
    std::vector<std::pair<std::uint64_t, std::uint64_t>> listed_;  // listed rows: column 1's type, page end
    std::map<std::uint64_t, std::uint32_t> free_;  // the file's free pages
    std::vector<CarvedHandle> handles_;
    std::set<std::tuple<std::string, std::string, std::string, std::int32_t>> seen_;
    std::unordered_map<std::string, Text> names_;  // contact name by address
    std::string where_;                            // the kind of free space being searched
    std::int64_t page_ = 0;                        // and its page, from 1
};

}  // namespace salvor

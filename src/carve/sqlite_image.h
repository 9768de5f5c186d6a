// A database file together with the companions that hold older states of its
// pages: the write-ahead log (every frame, committed or not, from the current
// generation and from earlier ones whose salts no longer match) and a rollback
// journal (the pages as they were before an unfinished transaction).
//
// The image only points into byte buffers the caller keeps alive; every read
// is bounds-checked and a page past the end of what is held reads as absent,
// so a damaged or crafted file gives fewer pages, never a read outside memory.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace salvor::carve {

enum class TextEncoding : std::uint8_t { utf8 = 1, utf16le = 2, utf16be = 3 };

// Where a page image comes from, oldest first: a journal page is the state
// before the last transaction, the file's page the state after the last
// checkpoint, and log frames are later in frame order.
struct PageOrigin {
    enum class Kind : std::uint8_t { file, walFrame, journal };
    Kind kind = Kind::file;
    std::uint32_t frame = 0;  // 1-based frame number in the log (walFrame only)

    // "wal-frame-N" or "journal"; "file" for a page of the database file itself.
    std::string label() const;
    // Newer-than order: journal < file < frame 1 < frame 2 ...
    std::uint64_t age() const;
};

// One stored image of a page.
struct PageVersion {
    std::uint32_t page = 0;  // 1-based page number
    std::span<const std::uint8_t> bytes;
    PageOrigin origin;
    bool current = false;    // the page as the database reads it now
};

class DatabaseImage {
public:
    // Reads the file header (page size, reserved bytes per page, text encoding,
    // free-list head) and the companions' frames. Nothing when no page size can
    // be found (neither the file's header nor the log's names one); every
    // other oddity is a line in diagnostics() and the pages that can be read
    // are still offered.
    static std::optional<DatabaseImage> open(std::span<const std::uint8_t> file,
                                             std::span<const std::uint8_t> wal = {},
                                             std::span<const std::uint8_t> journal = {},
                                             std::string* why = nullptr);

    std::uint32_t pageSize() const { return pageSize_; }
    // Bytes of a page that hold b-tree content: the page size less the
    // reserved bytes at its end.
    std::uint32_t usableSize() const { return usableSize_; }
    TextEncoding encoding() const { return encoding_; }
    // Pages of the database as it reads now: the last committed log frame's
    // database size, else the file's header count when the file holds that
    // many pages, else the whole pages the file holds.
    std::uint32_t pageCount() const { return pageCount_; }
    std::uint32_t firstFreelistTrunk() const { return freelistTrunk_; }
    std::uint32_t freelistCount() const { return freelistCount_; }

    // Page n (1-based) as the database reads it now: the last committed log
    // frame that holds it, else the file's page. Empty past the end.
    std::span<const std::uint8_t> currentPage(std::uint32_t n) const;
    // Every stored image of every page, the current ones included, in page
    // order and oldest first within a page.
    const std::vector<PageVersion>& versions() const { return versions_; }

    // Frames read from the log, how many of them are valid in its current
    // generation and how many of those committed.
    std::uint32_t walFrames() const { return walFrames_; }
    std::uint32_t walValidFrames() const { return walValid_; }
    std::uint32_t walCommittedFrames() const { return walCommitted_; }
    std::uint32_t journalPages() const { return journalPages_; }

    const std::vector<std::string>& diagnostics() const { return diagnostics_; }

private:
    DatabaseImage() = default;
    void readHeader(std::span<const std::uint8_t> file);
    void readWal(std::span<const std::uint8_t> wal);
    void readJournal(std::span<const std::uint8_t> journal);
    void settle(std::span<const std::uint8_t> file);

    std::uint32_t pageSize_ = 0, usableSize_ = 0, pageCount_ = 0;
    std::uint32_t freelistTrunk_ = 0, freelistCount_ = 0, headerPageCount_ = 0;
    TextEncoding encoding_ = TextEncoding::utf8;
    std::uint32_t walFrames_ = 0, walValid_ = 0, walCommitted_ = 0, journalPages_ = 0;
    std::uint32_t walDatabaseSize_ = 0;
    std::vector<PageVersion> versions_;
    std::map<std::uint32_t, std::size_t> current_;  // page -> index in versions_
    std::vector<std::string> diagnostics_;
};

}  // namespace salvor::carve

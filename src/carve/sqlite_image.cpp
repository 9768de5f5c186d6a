#include "carve/sqlite_image.h"

#include <algorithm>
#include <cstring>

#include "carve/btree_page.h"

namespace salvor::carve {

namespace {

bool validPageSize(std::uint32_t n) { return n >= 512 && n <= 65536 && (n & (n - 1)) == 0; }

// The log's running checksum over 32-bit words, in the byte order its magic
// number names (0x377f0683 big-endian, 0x377f0682 little-endian).
void walChecksum(Bytes data, bool bigEndian, std::uint32_t& s0, std::uint32_t& s1) {
    for (std::size_t i = 0; i + 8 <= data.size(); i += 8) {
        std::uint32_t x0, x1;
        if (bigEndian) {
            x0 = readU32(data, i);
            x1 = readU32(data, i + 4);
        } else {
            x0 = std::uint32_t{data[i]} | std::uint32_t{data[i + 1]} << 8 | std::uint32_t{data[i + 2]} << 16 |
                 std::uint32_t{data[i + 3]} << 24;
            x1 = std::uint32_t{data[i + 4]} | std::uint32_t{data[i + 5]} << 8 | std::uint32_t{data[i + 6]} << 16 |
                 std::uint32_t{data[i + 7]} << 24;
        }
        s0 += x0 + s1;
        s1 += x1 + s0;
    }
}

constexpr std::uint8_t kJournalMagic[8] = {0xd9, 0xd5, 0x05, 0xf9, 0x20, 0xa1, 0x63, 0xd7};

}  // namespace

std::string PageOrigin::label() const {
    switch (kind) {
    case Kind::walFrame: return "wal-frame-" + std::to_string(frame);
    case Kind::journal: return "journal";
    case Kind::file: break;
    }
    return "file";
}

std::uint64_t PageOrigin::age() const {
    switch (kind) {
    case Kind::journal: return 0;
    case Kind::file: return 1;
    case Kind::walFrame: return 1 + std::uint64_t{frame};
    }
    return 1;
}

std::optional<DatabaseImage> DatabaseImage::open(std::span<const std::uint8_t> file, std::span<const std::uint8_t> wal,
                                                 std::span<const std::uint8_t> journal, std::string* why) {
    DatabaseImage image;
    image.readHeader(file);
    if (image.pageSize_ == 0 && wal.size() >= 32) {
        // A file whose header is gone may still be read with the log's page size.
        if (const std::uint32_t size = readU32(wal, 8); validPageSize(size)) {
            image.pageSize_ = image.usableSize_ = size;
            image.diagnostics_.push_back("the file's header names no page size; the log's (" + std::to_string(size) +
                                         ") is used");
        }
    }
    if (image.pageSize_ == 0) {
        if (why) *why = file.size() < 100 ? "the file is too short to be a database" : "the file names no valid page size";
        return std::nullopt;
    }
    image.readWal(wal);
    image.readJournal(journal);
    image.settle(file);
    return image;
}

void DatabaseImage::readHeader(std::span<const std::uint8_t> file) {
    if (file.size() < 100) return;
    if (std::memcmp(file.data(), "SQLite format 3", 16) != 0)
        diagnostics_.push_back("the file does not begin with the SQLite header; its pages are read as they are");
    std::uint32_t size = readU16(file, 16);
    if (size == 1) size = 65536;
    if (!validPageSize(size)) {
        diagnostics_.push_back("the header's page size (" + std::to_string(size) + ") is not valid");
        return;
    }
    pageSize_ = size;
    const std::uint32_t reserved = file[20];
    // SQLite requires at least 480 usable bytes per page.
    usableSize_ = size - reserved >= 480 ? size - reserved : size;
    if (usableSize_ == size && reserved != 0)
        diagnostics_.push_back("the header's reserved bytes per page (" + std::to_string(reserved) + ") are ignored");
    headerPageCount_ = readU32(file, 28);
    freelistTrunk_ = readU32(file, 32);
    freelistCount_ = readU32(file, 36);
    switch (readU32(file, 56)) {
    case 2: encoding_ = TextEncoding::utf16le; break;
    case 3: encoding_ = TextEncoding::utf16be; break;
    default: encoding_ = TextEncoding::utf8; break;
    }
}

void DatabaseImage::readWal(std::span<const std::uint8_t> wal) {
    if (wal.empty()) return;
    if (wal.size() < 32) {
        diagnostics_.push_back("the log is shorter than its header; it is not read");
        return;
    }
    const std::uint32_t magic = readU32(wal, 0);
    const bool headerValid = (magic == 0x377f0682 || magic == 0x377f0683) && readU32(wal, 8) == pageSize_;
    if (!headerValid)
        diagnostics_.push_back("the log's header does not match the database; its frames are read as older pages");
    const bool bigEndian = magic == 0x377f0683;
    const std::uint32_t salt1 = readU32(wal, 16), salt2 = readU32(wal, 20);
    std::uint32_t s0 = 0, s1 = 0;
    walChecksum(wal.first(24), bigEndian, s0, s1);
    bool chainValid = headerValid && s0 == readU32(wal, 24) && s1 == readU32(wal, 28);
    const std::size_t frameSize = 24 + std::size_t{pageSize_};
    std::uint32_t lastCommit = 0;
    std::vector<PageVersion> frames;
    for (std::size_t at = 32; at + frameSize <= wal.size(); at += frameSize) {
        ++walFrames_;
        const Bytes header = wal.subspan(at, 24);
        const Bytes page = wal.subspan(at + 24, pageSize_);
        const std::uint32_t number = readU32(header, 0);
        // Frames are valid while each carries the header's salts and continues
        // the checksum; the first that does not ends the current generation,
        // and what follows is left from earlier ones.
        if (chainValid) {
            walChecksum(header.first(8), bigEndian, s0, s1);
            walChecksum(page, bigEndian, s0, s1);
            chainValid = readU32(header, 8) == salt1 && readU32(header, 12) == salt2 && s0 == readU32(header, 16) &&
                         s1 == readU32(header, 20);
            if (chainValid) {
                ++walValid_;
                if (const std::uint32_t size = readU32(header, 4); size != 0) {
                    lastCommit = walFrames_;
                    walDatabaseSize_ = size;
                }
            }
        }
        if (number == 0) continue;
        PageVersion v;
        v.page = number;
        v.bytes = page;
        v.origin = {PageOrigin::Kind::walFrame, walFrames_};
        frames.push_back(v);
    }
    if (wal.size() > 32 && (wal.size() - 32) % frameSize != 0)
        diagnostics_.push_back("the log ends in a partial frame; it is left out");
    walCommitted_ = lastCommit;
    // The current image of a page is its last committed frame.
    for (PageVersion& v : frames) {
        if (v.origin.frame <= lastCommit) current_[v.page] = versions_.size();
        versions_.push_back(v);
    }
}

void DatabaseImage::readJournal(std::span<const std::uint8_t> journal) {
    if (journal.size() < 28) return;
    std::uint32_t sector = 512;
    std::uint32_t size = pageSize_;
    if (std::memcmp(journal.data(), kJournalMagic, 8) == 0) {
        if (const std::uint32_t s = readU32(journal, 20); validPageSize(s)) sector = s;
        if (const std::uint32_t p = readU32(journal, 24); p != 0 && p != size)
            diagnostics_.push_back("the journal's page size differs from the database's; it is not read");
        if (const std::uint32_t p = readU32(journal, 24); p != 0 && p != size) return;
    } else {
        // A journal whose header was zeroed at commit (persistent mode) still
        // holds its page records.
        diagnostics_.push_back("the journal has no header; its page records are read as they stand");
    }
    const std::size_t record = 8 + std::size_t{size};
    for (std::size_t at = sector; at + record <= journal.size(); at += record) {
        const std::uint32_t number = readU32(journal, at);
        if (number == 0 || number > (1u << 31)) continue;
        PageVersion v;
        v.page = number;
        v.bytes = journal.subspan(at + 4, size);
        v.origin = {PageOrigin::Kind::journal, 0};
        versions_.push_back(v);
        ++journalPages_;
    }
}

void DatabaseImage::settle(std::span<const std::uint8_t> file) {
    const auto filePages = static_cast<std::uint32_t>(std::min<std::uint64_t>(file.size() / pageSize_, UINT32_MAX));
    if (file.size() % pageSize_ != 0)
        diagnostics_.push_back("the file ends in a partial page; it is left out");
    // A committed frame's database size is believed only as far as some
    // stored image can back it: a crafted size never sizes anything.
    std::uint32_t highest = filePages;
    for (const PageVersion& v : versions_)
        if (v.origin.kind == PageOrigin::Kind::walFrame) highest = std::max(highest, v.page);
    if (walCommitted_ != 0) pageCount_ = std::min(walDatabaseSize_, highest);
    else if (headerPageCount_ != 0 && headerPageCount_ <= filePages) pageCount_ = headerPageCount_;
    else pageCount_ = filePages;
    for (std::uint32_t n = 1; n <= filePages; ++n) {
        PageVersion v;
        v.page = n;
        v.bytes = file.subspan(std::size_t{n - 1} * pageSize_, pageSize_);
        v.origin = {PageOrigin::Kind::file, 0};
        if (!current_.count(n)) current_[n] = versions_.size();
        versions_.push_back(v);
    }
    // A page past the database's size is left over, never current.
    for (auto it = current_.begin(); it != current_.end();) {
        if (it->first > pageCount_) it = current_.erase(it);
        else ++it;
    }
    for (const auto& [page, index] : current_) versions_[index].current = true;
    std::stable_sort(versions_.begin(), versions_.end(), [](const PageVersion& a, const PageVersion& b) {
        return a.page != b.page ? a.page < b.page : a.origin.age() < b.origin.age();
    });
    current_.clear();
    for (std::size_t i = 0; i < versions_.size(); ++i)
        if (versions_[i].current) current_[versions_[i].page] = i;
}

std::span<const std::uint8_t> DatabaseImage::currentPage(std::uint32_t n) const {
    const auto it = current_.find(n);
    return it == current_.end() ? std::span<const std::uint8_t>() : versions_[it->second].bytes;
}

}  // namespace salvor::carve

// The deleted-record scans over hostile database files.
//
// The first input byte chooses how the image is made: the rest of the input
// taken as the whole file, or spliced into a small real database (a header
// page and a few table leaves, with deleted rows in their free space, of an
// address book, a message database, a call history, a calendar, a notes store
// or a bookmarks database, forged once at start-up); then a header
// page size to force (0, 1 for 65536, 3, 1000, 512, 1024, 65535 or the file's
// own). In the spliced form further bytes rewrite one page's kind byte and
// cut the file short. Each image is scanned under every system-version
// layout (4/5, 4/5 with the write-ahead-log byte 18 = 2, 6 and 7), directly
// by the contacts and messages scans, and under one of them through every
// scan's stage entry, which loads a private copy from disk (an image of 64 KiB
// pages only so).
//
// The image lives in a buffer of exactly its size, so under AddressSanitizer a
// read outside it aborts. Each contact the scan keeps is posted once, and a
// carved message is posted as the record the result store expects.
#include <algorithm>
#include <any>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "core/helpers.h"
#include "carve/carve_primitives.h"
#include "carve/deleted_bookmarks.h"
#include "carve/deleted_calendar.h"
#include "carve/deleted_calls.h"
#include "carve/deleted_contacts.h"
#include "carve/deleted_messages.h"
#include "carve/deleted_notes.h"
#include "core/record_collector.h"
#include "core/scan_context.h"
#include "core/utf8.h"
#include "forge/forge.h"
#include "platform/log.h"
#include "platform/scratch.h"

namespace {

using namespace salvor;
using Buf = std::vector<std::uint8_t>;

constexpr std::uint32_t kSeedPageSize = 512;
constexpr std::size_t kMaxImage = 16 * 1024;
constexpr const char* kBackup = "/nonexistent/fuzz-backup";
constexpr const char* kAddressBook = "31bb7ba8914766d4ba40d6dfb6113c8b614be442";
constexpr const char* kSms = "3d0d7e5fb2ce288813306e4d4636395e047a3d28";
// Stored names of the call history, calendar, notes store and bookmarks database.
constexpr const char* kOtherDatabases[] = {"2b2b0084a1bc3a5ac8c27afdf14afb42c61a19ca", "2041457d5fe04d39d0ab481178355df6781e6858",
                                           "ca3bc056d4da0bbf88b5fb3be254f3b7147e639c", "d1f062e2da26192a6625d968274bfda8d07821e4"};

void check(bool ok) {
    if (!ok) std::abort();
}

void writeFile(const std::string& path, const Buf& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Page 1 and, for each list of texts, the table leaf (live or freed) holding
// most of them, as one small file.
Buf pageSet(const Buf& db, const std::vector<std::vector<std::string>>& lists) {
    Buf out(db.begin(), db.begin() + std::min<std::size_t>(db.size(), kSeedPageSize));
    std::vector<std::size_t> taken;
    for (const auto& texts : lists) {
        std::size_t best = 0, bestHits = 0;
        for (std::size_t at = kSeedPageSize; at + kSeedPageSize <= db.size(); at += kSeedPageSize) {
            if (db[at] != 0x0D || std::find(taken.begin(), taken.end(), at) != taken.end()) continue;
            const auto first = db.begin() + static_cast<std::ptrdiff_t>(at);
            std::size_t hits = 0;
            for (const std::string& t : texts)
                if (!t.empty() && std::search(first, first + kSeedPageSize, t.begin(), t.end()) != first + kSeedPageSize) ++hits;
            if (hits > bestHits) best = at, bestHits = hits;
        }
        if (bestHits == 0) continue;
        taken.push_back(best);
        out.insert(out.end(), db.begin() + static_cast<std::ptrdiff_t>(best),
                   db.begin() + static_cast<std::ptrdiff_t>(best + kSeedPageSize));
    }
    return out;
}

// The seeds, forged with small pages: address books of the older and the
// system-7 layout, message databases of the older and the newer layout, then
// call histories (system 4 and 7), calendars (6 and 7), notes stores (5 and 7)
// and bookmarks databases (6 and 7).
const std::array<Buf, 12>& seeds() {
    static const std::array<Buf, 12> all = [] {
        std::array<Buf, 12> s;
        const std::string dir = scratch::create("salvor-fuzz-seeds-");
        check(!dir.empty());
        // A database of the forge and the deleted rows it lists.
        auto forged = [&](int ios, const std::string& path) {
            forge::BackupPlan plan;
            plan.iosMajor = ios;
            plan.dbPageSize = static_cast<int>(kSeedPageSize);
            forge::Rng rng(0xC0FFEE + static_cast<std::uint64_t>(ios));
            forge::DatabaseScale scale;
            scale.deletedPercent = 40;
            static int made = 0;
            forge::addCategoryDatabases(plan, rng, scale, dir + "/" + std::to_string(made++));
            for (const forge::FileEntry& f : plan.files)
                if (f.path == path) return std::make_pair(Buf(f.content.begin(), f.content.end()), plan.truth);
            std::abort();
        };
        auto text = [](const nlohmann::json& v) { return v.is_string() ? v.get<std::string>() : std::string(); };
        for (int k = 0; k < 2; ++k) {
            const auto [db, truth] = forged(k == 0 ? 4 : 7, "Library/AddressBook/AddressBook.sqlitedb");
            std::vector<std::string> names, values;
            for (const auto& row : truth["contacts"]["deleted"]) {
                names.push_back(text(row["Last"]));
                for (const auto& v : row["multiValues"]) values.push_back(text(v["value"]));
            }
            s[static_cast<std::size_t>(k)] = pageSet(db, {names, values});
        }
        for (int k = 0; k < 2; ++k) {
            const auto [db, truth] = forged(k == 0 ? 4 : 6, "Library/SMS/sms.db");
            std::vector<std::string> texts;
            for (const auto& row : truth["messages"]["deleted"]) texts.push_back(text(row["text"]));
            s[2 + static_cast<std::size_t>(k)] = pageSet(db, {texts, texts});
        }
        const std::pair<int, const char*> others[] = {
            {4, "Library/CallHistory/call_history.db"}, {7, "Library/CallHistory/call_history.db"},
            {6, "Library/Calendar/Calendar.sqlitedb"},  {7, "Library/Calendar/Calendar.sqlitedb"},
            {5, "Library/Notes/notes.sqlite"},          {7, "Library/Notes/notes.sqlite"},
            {6, "Library/Safari/Bookmarks.db"},         {7, "Library/Safari/Bookmarks.db"},
        };
        for (std::size_t k = 0; k < std::size(others); ++k) {
            const Buf db = forged(others[k].first, others[k].second).first;
            // These scans read the table's columns from the schema, which may
            // spill onto overflow pages: the file's first pages, whole.
            s[4 + k] = Buf(db.begin(), db.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(db.size(), 8 * kSeedPageSize)));
        }
        scratch::release(dir);
        return s;
    }();
    return all;
}

struct Workspace {
    std::string dir = scratch::create("salvor-fuzz-scans-");
    ~Workspace() { scratch::release(dir); }
};

// One scan of `image` under one layout: directly over the bytes, or through
// the stage entry over a file holding them.
void scan(const Buf& image, int layout, bool throughFile, const std::string& file) {
    RecordCollector sink;
    ScanContext ctx(sink, kBackup);
    ctx.currentNodeIsiOS6Version = layout >= 2;
    ctx.bIOS7DeviceNode = layout == 3;
    // A carved message holds valid text no longer than its page can give
    // (GetStringFormChar may triple a byte into U+FFFD).
    const auto pages = carve::PageImage::open(image, "fuzz");
    const std::size_t pageBytes = pages ? pages->pageSize() : 0;  // nothing is carved without one
    sink.onDelivery = [&](const std::string& kind) {
        if (kind == "deletedContact") check(sink.deletedContacts.back() != nullptr);
        if (kind != "deletedMessage") return;
        const MessagePtr& m = sink.deletedMessages.back();
        check(m != nullptr);
        const Text date = displayDate(m->messageDate);
        const Text* const shown[] = {&m->messageContent, &m->messagePhone, &date};
        for (const Text* t : shown) {
            check(utf8::isValid(textOrEmpty(*t)));
            check(textOrEmpty(*t).size() <= 3 * pageBytes);
        }
    };
    if (throughFile) {
        writeFile(file, image);
        ctx.preparedDatabases[std::string(kBackup) + "/" + kAddressBook] = file;
        ctx.preparedDatabases[std::string(kBackup) + "/" + kSms] = file;
        DelContactScan::scanBackup(ctx, kBackup);
        // Every person posted was carved; values whose owner is unknown are
        // posted apart, at most one record per owner id.
        check(sink.deletedContacts.size() <= 2 * ctx.delContactArray.size() + 4096);
        DelMessageScan::scanBackup(ctx, kBackup);
        for (const char* stored : kOtherDatabases) ctx.preparedDatabases[std::string(kBackup) + "/" + stored] = file;
        DelNoteScan::scanBackup(ctx, kBackup);
        DelCallScan::scanBackup(ctx, kBackup);
        DelBookMarkScan::scanBackup(ctx, kBackup);
        DelCalendarScan::scanBackup(ctx, kBackup);
        return;
    }
    if (!pages) return;
    DelContactScan(ctx, *pages).run();
    check(sink.deletedContacts.size() <= 2 * ctx.delContactArray.size() + 4096);
    DelMessageScan(ctx, *pages).run();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool quiet = [] {
        log::setSink([](log::Level, const std::string&) {});
        return true;
    }();
    static Workspace work;
    (void)quiet;
    // Writes the seeds out, as the corpus's database inputs were made.
    static const bool written = [] {
        if (const char* dir = std::getenv("SALVOR_FUZZ_WRITE_SEEDS")) {
            const char* names[] = {"contacts_ios4.db", "contacts_ios7.db", "sms_ios4.db",      "sms_ios6.db",
                                   "calls_ios4.db",    "calls_ios7.db",    "calendar_ios6.db", "calendar_ios7.db",
                                   "notes_ios5.db",    "notes_ios7.db",    "bookmarks_ios6.db", "bookmarks_ios7.db"};
            static_assert(std::size(names) == std::tuple_size_v<std::decay_t<decltype(seeds())>>);
            for (std::size_t i = 0; i < seeds().size(); ++i) {
                // Whole-file input, the stage entry under layout i mod 4.
                Buf raw{static_cast<std::uint8_t>((i & 3) << 6)};
                raw.insert(raw.end(), seeds()[i].begin(), seeds()[i].end());
                writeFile(std::string(dir) + "/" + names[i], raw);
            }
        }
        return true;
    }();
    (void)written;
    if (size == 0) return 0;
    const std::uint8_t control = data[0];
    const std::size_t n = std::min(size - 1, kMaxImage);
    const std::uint8_t* in = data + 1;

    Buf image;
    if (control & 0x08) {
        // [page and kind] [offset high] [offset low] [cut] then the bytes spliced in.
        const std::uint8_t kindByte = n > 0 ? in[0] : 0;
        // Bits 4-5 of the control byte and the kind byte's top bits pick one of the twelve seeds.
        image = seeds()[(((control >> 4) & 3) + 4 * (kindByte >> 6)) % seeds().size()];
        const std::size_t at = n > 2 ? ((std::size_t{in[1]} << 8) | in[2]) % (image.size() + 1) : 0;
        const std::uint8_t cut = n > 3 ? in[3] : 0;
        if (n > 4) {
            image.resize(std::max(image.size(), at + n - 4));
            std::copy(in + 4, in + n, image.begin() + static_cast<std::ptrdiff_t>(at));
        }
        // Table leaf, table interior, index leaf, index interior, zero, any other byte, or as it was.
        static constexpr std::array<int, 8> kKinds = {0x0D, 0x05, 0x0A, 0x02, 0x00, -1, -2, -2};
        const int kind = kKinds[kindByte & 7];
        const std::size_t page = (kindByte >> 3) % std::max<std::size_t>(1, image.size() / kSeedPageSize) * kSeedPageSize;
        if (kind != -2 && page < image.size())
            image[page] = kind >= 0 ? static_cast<std::uint8_t>(kind) : static_cast<std::uint8_t>(cut ^ 0x5A);
        if (cut) image.resize(image.size() * cut / 256);
    } else {
        image.assign(in, in + n);
    }

    // The header's page size.
    static constexpr std::array<int, 8> kPageSizes = {-1, 0, 1, 3, 1000, 512, 1024, 65535};
    const int pageSize = kPageSizes[control & 7];
    if (pageSize == 1 && (control & 0x08)) {
        // Pages of 65536 bytes: the seed's leaves follow the first one, as a
        // second page cut short.
        Buf big(65536, 0);
        std::copy_n(image.begin(), std::min<std::size_t>(image.size(), kSeedPageSize), big.begin());
        if (image.size() > kSeedPageSize) big.insert(big.end(), image.begin() + kSeedPageSize, image.end());
        image = std::move(big);
    }
    if (pageSize >= 0 && image.size() >= 18) {
        image[16] = static_cast<std::uint8_t>(pageSize >> 8);
        image[17] = static_cast<std::uint8_t>(pageSize);
    }

    const std::string file = work.dir + "/copy.db";
    // A 64 KiB page costs as much as a hundred small ones: it is scanned
    // under one layout only, that of the stage entry.
    const bool bigPage = image.size() > 65536;
    for (int layout = 0; layout < 4; ++layout) {
        const bool entry = layout == (control >> 6);
        if (bigPage && !entry) continue;
        Buf version = image;
        if (layout == 1 && version.size() > 18) version[18] = 2;
        // Shrunk to fit, so that the buffer ends where the file does.
        version.shrink_to_fit();
        if (!bigPage) scan(version, layout, false, file);
        if (entry) scan(version, layout, true, file);
    }
    return 0;
}

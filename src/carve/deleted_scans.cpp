#include "carve/deleted_scans.h"

#include "carve/deleted_contacts.h"
#include "core/byte_reader.h"
#include "core/scan_context.h"
#include "platform/log.h"

namespace salvor {

// The carving of deleted records is not built yet: each scan ends quietly, as a
// stage without its input does, and the pipeline goes on.
namespace {
void notYet(const char* what) { log::line(std::string(what) + ": deleted-record carving not available", log::Level::Debug); }
}  // namespace

void scanDelContactThread(ScanContext& ctx, const std::string& backupPath) {
    if (backupPath.empty()) return;
    // The live contacts stage prepared a private copy of the address book
    // (write-ahead log folded in); without one there is nothing to carve.
    const auto copy = ctx.preparedDatabases.find(backupPath + "/31bb7ba8914766d4ba40d6dfb6113c8b614be442");
    if (copy == ctx.preparedDatabases.end()) {
        log::line("contacts: no prepared address book to carve", log::Level::Debug);
        return;
    }
    FileImage file;
    constexpr std::uint64_t kMaxBytes = std::uint64_t{1} << 30;
    if (const FileImage::Status status = file.load(copy->second, kMaxBytes); status != FileImage::Status::ok) {
        log::line(std::string("contacts: address book not carved: ") + FileImage::describe(status));
        return;
    }
    const auto image = carve::PageImage::open(file.bytes(), "AddressBook.sqlitedb");
    if (!image) return;
    DelContactScan(ctx, *image).run();
}
void scanDelMessageThread(ScanContext&, const std::string&) { notYet("messages"); }
void scanDelNoteThread(ScanContext&, const std::string&) { notYet("notes"); }
void scanDelCallHistoryThread(ScanContext&, const std::string&) { notYet("call history"); }
void ScanDelBookMarkThread(ScanContext&, const std::string&) { notYet("bookmarks"); }
void ScanDelCalenderThread(ScanContext&, const std::string&) { notYet("calendar"); }

}  // namespace salvor

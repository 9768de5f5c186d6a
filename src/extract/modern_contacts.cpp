// Contacts of a modern backup: the address book keeps the tables of the older
// systems with columns added over the years, so the shared reader gets its
// columns by name.
#include "extract/modern_contacts.h"

#include <memory>
#include <unordered_map>
#include <unordered_set>

#include "extract/address_book.h"
#include "extract/carved_copy.h"
#include "extract/commit_db.h"
#include "extract/extract_util.h"
#include "extract/modern_lookup.h"
#include "platform/log.h"

namespace salvor {

using namespace extract_detail;

namespace {

constexpr modern::Place kAddressBook{"HomeDomain", "Library/AddressBook/AddressBook.sqlitedb",
                                     "31bb7ba8914766d4ba40d6dfb6113c8b614be442"};
constexpr modern::Place kImages{"HomeDomain", "Library/AddressBook/AddressBookImages.sqlitedb",
                                "cd6702cea29fe89cf280a76794405adb17f9a0ee"};

sqlite::ReadPlan planOf(const modern::TableColumns& table, const std::string& columns) {
    return {{columns, table.table(), "", {table.table()}}, {}};
}

// Pictures: the full-size image of a person, or else the largest of its
// thumbnails (a person whose picture came from a small source has no other).
void readPictures(ScanContext& ctx, const modern::Found& images) {
    if (images.stored.empty()) return;
    const auto copy = modern::preparedCopy(ctx, images);
    if (!copy) return;
    sqlite::Database db(*copy, ctx.stop, "AddressBookImages.sqlitedb");
    std::unordered_set<std::int32_t> fullSize;
    const modern::TableColumns full(db, "ABFullSizeImage");
    if (full.has("record_id") && full.has("data")) {
        const std::size_t before = ctx.contactImageArray.size();
        readContactPictures(ctx, images.stored, planOf(full, full.select({"record_id", "data"})));
        for (std::size_t i = before; i < ctx.contactImageArray.size(); ++i)
            if (ctx.contactImageArray[i]->imageData) fullSize.insert(ctx.contactImageArray[i]->rowid);
    }
    const modern::TableColumns thumbs(db, "ABThumbnailImage");
    if (!thumbs.has("record_id") || !thumbs.has("data")) return;
    sqlite::Reader rows(db, planOf(thumbs, thumbs.select({"record_id", "data"})));
    std::unordered_map<std::int32_t, std::shared_ptr<MVContactImageNode>> largest;
    std::vector<std::int32_t> order;
    while (!ctx.stopRequested() && rows.step()) {
        const auto rowid = static_cast<std::int32_t>(rows.int64(0));
        auto bytes = rows.blob(1);
        if (fullSize.count(rowid) != 0 || bytes.empty()) continue;
        auto& best = largest[rowid];
        if (!best) order.push_back(rowid);
        if (best && best->imageData->size() >= bytes.size()) continue;
        best = std::make_shared<MVContactImageNode>();
        best->rowid = rowid;
        best->imageData = std::make_shared<const ByteBuffer>(std::move(bytes));
    }
    // After the full-size pictures: a person's picture is the last entry naming it.
    for (std::int32_t rowid : order) ctx.contactImageArray.push_back(largest[rowid]);
}

}  // namespace

void scanModernContacts(ScanContext& ctx, const std::string& backupPath) {
    if (backupPath.empty()) return;
    const modern::Found addressBook = modern::findDatabase(ctx, {kAddressBook});
    if (addressBook.stored.empty()) {
        log::line("contactDB is not exist");
        return;
    }
    ScratchScope scratch(ctx);
    const auto copy = modern::preparedCopy(ctx, addressBook);
    readPictures(ctx, modern::findDatabase(ctx, {kImages}));

    const auto read = [&](const std::string& path, const modern::CarvedCopy* carved) {
        sqlite::Database db;
        if (!path.empty()) db = sqlite::Database(path, ctx.stop, "AddressBook.sqlitedb");
        const modern::TableColumns persons(db, "ABPerson");
        const modern::TableColumns values(db, "ABMultiValue");
        // The person's row id is read as the table's own, whatever its column is called.
        const std::string personColumns =
            "ABPerson.ROWID, " +
            persons.select({"First", "Department", "DisplayName", "FirstPhonetic", "JobTitle", "Organization", "Middle",
                            "MiddlePhonetic", "CreationDate", "Last", "Note", "Nickname", "Prefix", "Suffix", "Birthday"});
        // Without its person or property column a value belongs to nobody.
        const bool valuesUsable = values.has("record_id") && values.has("property");
        deliverAddressBook(
            ctx, db, planOf(persons, personColumns),
            valuesUsable ? planOf(values, values.select({"record_id", "property", "value"}) + ", ABMultiValue.ROWID")
                         : sqlite::ReadPlan{},
            carved);
    };
    read(copy ? *copy : std::string(), nullptr);
    if (!copy) return;
    // Deleted persons, each with the values that name it by its row id.
    modern::CarvePlan plan;
    plan.mainTables = {"ABPerson", "ABMultiValue"};
    // An edited person keeps its guid and creation date, whatever else changed.
    plan.identity["ABPerson"] = {"guid", "CreationDate"};
    plan.identity["ABMultiValue"] = {"record_id", "property", "value"};
    // A person freed on its own loses its id; its values still name it.
    plan.idsByCreation.push_back({"ABPerson", {"CreationDate"}, "ABMultiValue", "record_id"});
    if (const auto carved = modern::carvedCopy(ctx, addressBook, *copy, plan, "AddressBook.sqlitedb"))
        read(carved->path, &*carved);
}

}  // namespace salvor

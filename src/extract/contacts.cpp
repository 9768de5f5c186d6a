// Contacts: persons of the address book with their multi-value rows and pictures.
#include <memory>
#include <optional>
#include <string>
#include <limits>
#include <map>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "extract/address_book.h"
#include "extract/carved_copy.h"
#include "extract/commit_db.h"
#include "extract/extract_util.h"
#include "extract/extractors.h"
#include "platform/log.h"

namespace salvor {

using namespace extract_detail;

namespace {

constexpr const char* kAddressBook = "31bb7ba8914766d4ba40d6dfb6113c8b614be442";
constexpr const char* kImages = "cd6702cea29fe89cf280a76794405adb17f9a0ee";
constexpr const char* kImagesOld = "cd6702cea29fe89cf280a76794405adb17f9a0ee.mddata";

const sqlite::ReadPlan kPersons{{"DISTINCT Rowid, first, Department,DisplayName,firstPhonetic,jobTitle,organization,"
                                  "middle,middlePhonetic,CreationDate,Last,Note,Nickname,prefix, suffix, Birthday",
                                  "abperson", "", {"abperson"}},
                                 {}};
// Read once for all persons, in the table's (UID) order, and grouped by person
// in memory: the table has no index on record_id, so a query per person would
// read the whole table once per person.
const sqlite::ReadPlan kMultiValues{{"record_id, property, value", "abmultivalue", "", {"abmultivalue"}}, {}};

// One multi-value row of a person: its property and its value (absent for NULL).
struct MultiValueRow {
    std::int64_t property = 0;
    const char* value() const { return value_ ? value_->c_str() : nullptr; }
    std::optional<std::string> value_;
};
const sqlite::ReadPlan kPictures{{"record_id, data", "ABFullSizeImage", "", {"ABFullSizeImage"}}, {}};
const sqlite::ReadPlan kPicturesOld{{"record_id, data", "ABImage", "", {"ABImage"}}, {}};

// Where one multi-value row goes: the joined text and, where kept, the list
// of separate values.
struct MultiValueField {
    Text* joined = nullptr;
    std::vector<std::string>* values = nullptr;
};

MultiValueField multiValueField(MVContactNode& contact, std::int64_t property) {
    switch (property) {
        case 3: return {&contact.contactPhone, &contact.contactPhoneValues};
        case 4: return {&contact.contactEmail, &contact.contactEmailValues};
        case 5: return {&contact.contactAdress, nullptr};
        case 22: return {&contact.contactHomepage, &contact.contactHomepageValues};
        default: return {};
    }
}

}  // namespace

void scanContacts(ScanContext& ctx, const std::string& backupPath) {
    if (backupPath.empty()) return;
    const std::string addressBook = storedPath(backupPath, kAddressBook);
    if (!fileExists(addressBook)) {
        log::line("contactDB is not exist");
        return;
    }
    ScratchScope scratch(ctx);
    const auto copy = preparedCopy(ctx, addressBook);

    if (const std::string images = storedPath(backupPath, kImages); fileExists(images))
        readContactPictures(ctx, images, kPictures);
    else
        readContactPictures(ctx, storedPath(backupPath, kImagesOld), kPicturesOld);

    sqlite::Database db;
    if (copy) db = sqlite::Database(*copy, ctx.stop, "AddressBook.sqlitedb");
    deliverAddressBook(ctx, db, kPersons, kMultiValues);
}

namespace extract_detail {

void readContactPictures(ScanContext& ctx, const std::string& stored, const sqlite::ReadPlan& plan) {
    const auto copy = preparedCopy(ctx, stored);
    if (!copy) return;
    sqlite::Database db(*copy, ctx.stop, "AddressBookImages.sqlitedb");
    sqlite::Reader st(db, plan);
    while (!ctx.stopRequested() && st.step()) {
        auto node = std::make_shared<MVContactImageNode>();
        node->rowid = static_cast<std::int32_t>(st.int64(0));
        auto bytes = st.blob(1);
        if (!bytes.empty()) node->imageData = std::make_shared<const ByteBuffer>(std::move(bytes));
        ctx.contactImageArray.push_back(std::move(node));
    }
}

void deliverAddressBook(ScanContext& ctx, const sqlite::Database& db, const sqlite::ReadPlan& personsPlan,
                        const sqlite::ReadPlan& multiValuesPlan, const modern::CarvedCopy* carved) {
    std::vector<ContactPtr> carvedPeople;
    std::unordered_set<std::int64_t> personIds;
    std::vector<ContactPtr>& people = carved ? carvedPeople : ctx.contactArray;
    {
        sqlite::Reader persons(db, personsPlan);
        while (!ctx.stopRequested() && persons.step()) {
            const std::int64_t id = persons.int64(0);
            personIds.insert(id);
            const modern::CarvedOrigin* origin = carved ? carved->originOf("ABPerson", id) : nullptr;
            // In the database of carved rows, live persons only hold the ids
            // their values join to.
            if (carved && !origin) continue;
            auto contact = std::make_shared<MVContactNode>();
            // A carved person whose id was lost holds one the private
            // database gave, far above any the phone gave: it names nobody's
            // values or picture, and is no id of the record.
            const bool phoneId = id > 0 && id <= std::numeric_limits<std::int32_t>::max();
            if (phoneId) contact->rowid = static_cast<std::int32_t>(id);
            if (origin) {
                modern::markCarved(*contact, *origin);
            }
            setText(contact->contactName, persons.text(1));
            // The parts the name joins, each present (empty for NULL): a card
            // is filed by them.
            const auto part = [&](int column) {
                const char* value = persons.text(column);
                return sqlite::hasText(value) ? columnText(value) : std::string();
            };
            contact->contactFirstName = part(1);
            contact->contactMiddleName = part(7);
            contact->contactLastName = part(10);
            setText(contact->contactCompany, persons.text(2));
            appendText(contact->contactCompany, persons.text(5));
            appendText(contact->contactCompany, persons.text(6));
            appendText(contact->contactName, persons.text(7));
            appendText(contact->contactName, persons.text(10));
            setText(contact->contactNote, persons.text(11));
            setText(contact->contactBirthday, persons.text(15));
            people.push_back(std::move(contact));
        }
    }

    // Every person's values, in the table's order, read in one pass.
    std::unordered_map<std::int64_t, std::vector<MultiValueRow>> valuesOf;
    struct Ownerless {
        std::int64_t owner;
        const modern::CarvedOrigin* origin;
        MultiValueRow row;
    };
    std::vector<Ownerless> unowned;
    {
        sqlite::Reader values(db, multiValuesPlan);
        while (!ctx.stopRequested() && values.step()) {
            const char* property = values.text(1);
            if (!sqlite::hasText(property)) continue;
            MultiValueRow row;
            row.property = sqlite::parseInteger(property);
            if (const char* v = values.text(2)) row.value_ = std::string(v);
            // A deleted value whose person is no row at all, live or carved:
            // its owner is unknown, and it is never put under anyone else.
            if (carved && !personIds.count(values.int64(0)))
                if (const auto* origin = carved->originOf("ABMultiValue", values.int64(3)))
                    unowned.push_back({values.int64(0), origin, row});
            valuesOf[values.int64(0)].push_back(std::move(row));
        }
    }
    // A stop during the read may have cut the values short: nobody is posted then.
    if (ctx.stopRequested()) return;
    // The person's picture: the last image row that names the person.
    std::unordered_map<std::int32_t, const MVContactImageNode*> pictureOf;
    for (const auto& image : ctx.contactImageArray) pictureOf[image->rowid] = image.get();

    for (const ContactPtr& contact : people) {
        if (ctx.stopRequested()) break;
        if (contact->rowid <= 0) {
            // No id of the phone's: nothing can be joined to it.
        } else if (const auto picture = pictureOf.find(contact->rowid); picture != pictureOf.end())
            contact->imageData = picture->second->imageData;
        if (const auto rows = contact->rowid > 0 ? valuesOf.find(contact->rowid) : valuesOf.end(); rows != valuesOf.end()) {
            for (const MultiValueRow& row : rows->second) {
                const MultiValueField field = multiValueField(*contact, row.property);
                if (!field.joined) continue;
                appendText(*field.joined, row.value());
                if (field.values && sqlite::hasText(row.value())) field.values->push_back(columnText(row.value()));
            }
        }
        if (carved)
            ctx.sink.deletedContact(contact);
        else
            ctx.sink.contact(contact);
    }
    // Deleted values of a person whose row is gone: one record per owner id
    // (the values that name the same id belong together), without a name.
    std::map<std::int64_t, ContactPtr> unnamed;
    for (const Ownerless& o : unowned) {
        ContactPtr& contact = unnamed[o.owner];
        if (!contact) {
            contact = std::make_shared<MVContactNode>();
            contact->contactName = std::string(kNumberWithoutName);
            modern::markCarved(*contact, *o.origin);
        }
        const MultiValueField field = multiValueField(*contact, o.row.property);
        if (!field.joined) continue;
        appendText(*field.joined, o.row.value());
        if (field.values && sqlite::hasText(o.row.value())) field.values->push_back(columnText(o.row.value()));
    }
    for (const auto& [owner, contact] : unnamed)
        if (!textOrEmpty(contact->contactPhone).empty() || !textOrEmpty(contact->contactEmail).empty())
            ctx.sink.deletedContact(contact);
    if (!carved) ctx.postStageProgress();
}

}  // namespace extract_detail

}  // namespace salvor

// Contacts: persons of the address book with their multi-value rows and pictures.
#include <memory>

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
// Read once per person, whose row id is bound to ":record".
const sqlite::ReadPlan kMultiValues{
    {"property,label,value, UID", "abmultivalue", "record_id = :record", {"abmultivalue"}}, {}};
const sqlite::ReadPlan kPictures{{"record_id, data", "ABFullSizeImage", "", {"ABFullSizeImage"}}, {}};
const sqlite::ReadPlan kPicturesOld{{"record_id, data", "ABImage", "", {"ABImage"}}, {}};

void readPictures(ScanContext& ctx, const std::string& folder) {
    std::string stored = storedPath(folder, kImages);
    const sqlite::ReadPlan* plan = &kPictures;
    if (!fileExists(stored)) {
        stored = storedPath(folder, kImagesOld);
        plan = &kPicturesOld;
    }
    const auto copy = preparedCopy(ctx, stored);
    if (!copy) return;
    sqlite::Database db(*copy, ctx.stop, "AddressBookImages.sqlitedb");
    sqlite::Reader st(db, *plan);
    while (!ctx.stopRequested() && st.step()) {
        auto node = std::make_shared<MVContactImageNode>();
        node->rowid = static_cast<std::int32_t>(st.int64(0));
        auto bytes = st.blob(1);
        if (!bytes.empty()) node->imageData = std::make_shared<const ByteBuffer>(std::move(bytes));
        ctx.contactImageArray.push_back(std::move(node));
    }
}

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

void scanContactThread(ScanContext& ctx, const std::string& backupPath) {
    if (backupPath.empty()) return;
    const std::string addressBook = storedPath(backupPath, kAddressBook);
    if (!fileExists(addressBook)) {
        log::line("contactDB is not exist");
        return;
    }
    ScratchScope scratch(ctx);
    const auto copy = preparedCopy(ctx, addressBook);

    readPictures(ctx, backupPath);

    sqlite::Database db;
    if (copy) db = sqlite::Database(*copy, ctx.stop, "AddressBook.sqlitedb");
    {
        sqlite::Reader persons(db, kPersons);
        while (!ctx.stopRequested() && persons.step()) {
            auto contact = std::make_shared<MVContactNode>();
            const auto rowid = static_cast<std::int32_t>(persons.int64(0));
            if (rowid != 0) contact->rowid = rowid;
            setText(contact->contactName, persons.text(1));
            setText(contact->contactCompany, persons.text(2));
            appendText(contact->contactCompany, persons.text(5));
            appendText(contact->contactCompany, persons.text(6));
            appendText(contact->contactName, persons.text(7));
            appendText(contact->contactName, persons.text(10));
            setText(contact->contactNote, persons.text(11));
            setText(contact->contactBirthday, persons.text(15));
            ctx.contactArray.push_back(std::move(contact));
        }
    }

    // One short query per person: each may end before SQLite ever asks
    // whether to stop, so the loop asks itself.
    for (const ContactPtr& contact : ctx.contactArray) {
        if (ctx.stopRequested()) break;
        for (const auto& image : ctx.contactImageArray) {
            if (image->rowid == contact->rowid) contact->imageData = image->imageData;
        }
        sqlite::Reader values(db, kMultiValues, {{":record", contact->rowid}});
        if (values.ok()) {
            while (values.step()) {
                const char* property = values.text(0);
                if (!sqlite::hasText(property)) continue;
                const MultiValueField field = multiValueField(*contact, sqlite::parseInteger(property));
                if (!field.joined) continue;
                const char* value = values.text(2);
                appendText(*field.joined, value);
                if (field.values && sqlite::hasText(value)) field.values->push_back(columnText(value));
            }
        }
        // A stop during the query may have cut this person's values short.
        if (ctx.stopRequested()) break;
        ctx.nc.post(events::ScanContactInfo, std::any(contact));
    }
    ctx.postStageProgress();
}

}  // namespace salvor

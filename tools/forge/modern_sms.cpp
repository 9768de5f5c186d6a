#include "forge/modern_sms.h"

#include <sqlite3.h>

#include <stdexcept>

#include "forge/db_common.h"
#include "forge/modern_category.h"
#include "forge/modern_db.h"
#include "forge/modern_deletions.h"

namespace salvor::forge {

using namespace db;

namespace {

// An archive integer: one byte below 0x80, else 0x81 and two bytes or 0x82
// and four bytes, little-endian.
void putInt(Blob& b, std::uint32_t v) {
    if (v < 0x80) {
        b.push_back(static_cast<std::uint8_t>(v));
    } else if (v <= 0x7FFF) {
        b.insert(b.end(), {0x81, static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8)});
    } else {
        b.insert(b.end(), {0x82, static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                           static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)});
    }
}

void putText(Blob& b, const std::string& s) { b.insert(b.end(), s.begin(), s.end()); }

// A class written the first time: new class, new name string, version.
void putClass(Blob& b, const std::string& name, std::uint8_t version) {
    b.insert(b.end(), {0x84, 0x84});
    putInt(b, static_cast<std::uint32_t>(name.size()));
    putText(b, name);
    b.push_back(version);
}

std::uint32_t utf16Units(const std::string& s) {
    std::uint32_t n = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const auto c = static_cast<unsigned char>(s[i]);
        if ((c & 0xC0) == 0x80) continue;
        n += c >= 0xF0 ? 2 : 1;
    }
    return n;
}

std::int64_t nanos(std::int64_t secondsSince2001) { return secondsSince2001 * 1000000000LL; }

struct Handle {
    std::int64_t id;
    std::string address;
    const char* service;
};

struct ChatDef {
    std::int64_t id;
    std::string displayName;
    std::vector<std::int64_t> members;  // handle ids
    const char* service;
};

}  // namespace

Blob attributedBodyBlob(const std::string& text, bool mutableRoot) {
    Blob b{0x04, 0x0B};
    putText(b, "streamtyped");
    b.insert(b.end(), {0x81, 0xE8, 0x03, 0x84, 0x01, 0x40, 0x84});
    // References count the type string "@" and each class from 0x92 on.
    std::uint8_t objectRef = 0;
    if (mutableRoot) {
        putClass(b, "NSMutableAttributedString", 0);
        objectRef = 0x95;
    } else {
        objectRef = 0x94;
    }
    putClass(b, "NSAttributedString", 0);
    putClass(b, "NSObject", 0);
    b.insert(b.end(), {0x85, 0x92, 0x84});
    if (mutableRoot) putClass(b, "NSMutableString", 1);
    putClass(b, "NSString", 1);
    b.push_back(objectRef);
    b.insert(b.end(), {0x84, 0x01, 0x2B});
    putInt(b, static_cast<std::uint32_t>(text.size()));
    putText(b, text);
    b.push_back(0x86);
    // One attribute run over the whole text, with an empty dictionary.
    b.insert(b.end(), {0x84, 0x02, 0x69, 0x49, 0x01});
    putInt(b, utf16Units(text));
    b.insert(b.end(), {0x92, 0x84});
    putClass(b, "NSDictionary", 0);
    b.insert(b.end(), {objectRef, 0x84, 0x01, 0x69, 0x00, 0x86, 0x86});
    return b;
}

namespace {

// Prepared statement of the bulk rows, finalised on every way out.
struct Statement {
    sqlite3_stmt* st = nullptr;
    Statement(sqlite3* db, const char* sql) {
        if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) != SQLITE_OK)
            throw std::runtime_error(std::string("forge: ") + sqlite3_errmsg(db));
    }
    ~Statement() { sqlite3_finalize(st); }
    void run(sqlite3* db) {
        if (sqlite3_step(st) != SQLITE_DONE) throw std::runtime_error(std::string("forge: ") + sqlite3_errmsg(db));
        sqlite3_reset(st);
    }
};

// Many plain messages for the benchmarks, through one prepared statement each
// for the message and its chat link (naming every column per row would take
// longer than reading them back).
void addBulkMessages(DbFile& db, Rng& rng, std::int64_t rowId, std::int64_t when, std::uint64_t count) {
    sqlite3* h = db.handle();
    Statement message(h, "INSERT INTO message (ROWID, guid, text, attributedBody, handle_id, service, account, date, "
                         "date_read, date_delivered, is_from_me, is_read, cache_has_attachments, item_type, "
                         "associated_message_type) VALUES (?1, ?2, ?3, ?4, ?5, ?6, 'e:me@example.com', ?7, ?8, ?9, "
                         "?10, ?11, 0, 0, 0)");
    Statement link(h, "INSERT INTO chat_message_join (chat_id, message_id, message_date) VALUES (?1, ?2, ?3)");
    // (chat, sender handle or 0 for an own group message, service): the four conversations.
    static const struct {
        std::int64_t chat, handle;
        const char* service;
    } kWho[] = {{1, 1, "iMessage"}, {2, 2, "SMS"}, {3, 3, "iMessage"}, {3, 0, "iMessage"}, {4, 4, "SMS"}};
    static const char* const kWords[] = {"see you", "at", "the", "station", "tomorrow", "\xF0\x9F\x98\x80",
                                         "thanks", "for", "dinner", "call me", "later", "caf\xC3\xA9"};
    std::string text;
    for (std::uint64_t i = 0; i < count; ++i) {
        ++rowId;
        when += rng.range(1, 240);
        const auto& who = kWho[rng.below(5)];
        const bool fromMe = who.handle == 0 || rng.below(2) == 0;
        text.clear();
        for (std::uint64_t w = 2 + rng.below(14); w > 0; --w) text.append(kWords[rng.below(12)]).push_back(' ');
        text.append(std::to_string(rowId));
        const bool archiveOnly = i % 2 == 1;
        const std::string guid = uuid(rng);
        sqlite3_stmt* m = message.st;
        sqlite3_bind_int64(m, 1, rowId);
        sqlite3_bind_text(m, 2, guid.c_str(), static_cast<int>(guid.size()), SQLITE_TRANSIENT);
        if (archiveOnly) {
            const Blob body = attributedBodyBlob(text, rowId % 2 == 0);
            sqlite3_bind_null(m, 3);
            sqlite3_bind_blob(m, 4, body.data(), static_cast<int>(body.size()), SQLITE_TRANSIENT);
        } else {
            sqlite3_bind_text(m, 3, text.c_str(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
            sqlite3_bind_null(m, 4);
        }
        sqlite3_bind_int64(m, 5, who.handle);
        sqlite3_bind_text(m, 6, who.service, -1, SQLITE_STATIC);
        sqlite3_bind_int64(m, 7, nanos(when));
        sqlite3_bind_int64(m, 8, fromMe ? 0 : when + 60);
        sqlite3_bind_int64(m, 9, fromMe ? nanos(when + 1) : 0);
        sqlite3_bind_int64(m, 10, fromMe ? 1 : 0);
        sqlite3_bind_int64(m, 11, fromMe ? 0 : 1);
        message.run(h);
        sqlite3_bind_int64(link.st, 1, who.chat);
        sqlite3_bind_int64(link.st, 2, rowId);
        sqlite3_bind_int64(link.st, 3, nanos(when));
        link.run(h);
    }
}

}  // namespace

ModernDbResult writeModernSms(const std::string& outPath, int iosMajor, std::uint64_t seed, nlohmann::json& truth,
                              const nlohmann::json* contacts, std::uint64_t extraMessages) {
    Rng rng(seed);
    const bool recent = iosMajor >= 16;
    std::string schema;
    if (iosMajor >= 16) {
        schema = schemaText("modern/ios16/sms.db.sql");
    } else if (iosMajor >= 14) {
        // The iOS 14 message table is the one known table of that generation;
        // the others keep their iOS 12 form.
        schema = schemaText("modern/ios12/sms.db.sql");
        const std::string& newer = schemaText("modern/ios14/sms.db.sql");
        const std::string head = "CREATE TABLE message (";
        const auto a = schema.find(head), b = newer.find(head);
        if (a == std::string::npos || b == std::string::npos) throw std::runtime_error("forge: no message table");
        schema.replace(a, schema.find('\n', a) - a, newer.substr(b, newer.find('\n', b) - b));
    } else {
        schema = schemaText("modern/ios12/sms.db.sql");
    }

    DbFile db(outPath + ".build", false, 4096);
    db.begin();
    db.exec(schema);

    std::vector<Handle> handles{{1, "+15550100001", "iMessage"},
                                {2, "+15550100002", "SMS"},
                                {3, "ann@example.com", "iMessage"},
                                {4, "+15550100004", "SMS"}};
    // The people of the address book, as the reader's name lookup sees them;
    // the first two write from their first number, as the phone keeps it.
    const std::vector<LookupEntry> book = contacts ? modern::lookupBook(*contacts) : std::vector<LookupEntry>{};
    if (contacts && contacts->contains("phoneNumbers")) {
        const nlohmann::json& numbers = (*contacts)["phoneNumbers"];
        for (std::size_t i = 0; i < 2 && i < numbers.size(); ++i)
            if (!numbers[i].empty()) handles[i].address = modern::dialled(numbers[i][0].get<std::string>());
    }
    const auto nameOf = [&](const std::string& address) -> nlohmann::json {
        const auto hit = lookupContact(book, address, true);
        return hit && book[*hit].name ? nlohmann::json(*book[*hit].name) : nlohmann::json(nullptr);
    };
    for (const Handle& h : handles)
        insertNamed(db, "handle", {{"ROWID", h.id}, {"id", h.address}, {"country", "us"}, {"service", h.service},
                                   {"uncanonicalized_id", h.address}});
    const auto addressOf = [&](std::int64_t id) { return handles[static_cast<std::size_t>(id - 1)].address; };

    const std::vector<ChatDef> chats{{1, "", {1}, "iMessage"},
                                     {2, "", {2}, "SMS"},
                                     {3, "Family \xF0\x9F\x8F\xA1", {1, 3}, "iMessage"},
                                     {4, "", {2, 4}, "SMS"}};
    for (const ChatDef& c : chats) {
        const bool group = c.members.size() > 1;
        const std::string ident = group ? "chat" + digits(rng, 18) : addressOf(c.members.front());
        insertNamed(db, "chat", {{"ROWID", c.id},
                                 {"guid", std::string(c.service) + (group ? ";+;" : ";-;") + ident},
                                 {"style", group ? 43 : 45},
                                 {"state", 3},
                                 {"chat_identifier", ident},
                                 {"service_name", c.service},
                                 {"display_name", c.displayName}});
        for (const std::int64_t h : c.members)
            insertNamed(db, "chat_handle_join", {{"chat_id", c.id}, {"handle_id", h}});
    }

    // Texts: plain, emoji, just past one length byte, past two.
    std::string longText, veryLongText;
    while (longText.size() < 300) longText += "A long message that runs past one length byte. ";
    while (veryLongText.size() < 40000) veryLongText += "\xF0\x9F\x93\x9C A very long message, longer than two length bytes hold. ";

    nlohmann::json live = nlohmann::json::array(), deleted = nlohmann::json::array();
    ModernDbResult result;
    result.files.push_back({"HomeDomain", "Library/SMS/sms.db", {}});

    std::int64_t rowId = 0, attachmentId = 0;
    std::int64_t when = 700000000 + rng.range(0, 5000000);  // seconds since 2001 (2023)
    enum class Body { Text, ArchiveOnly, Both };
    struct Msg {
        std::int64_t chat;
        std::int64_t handle;  // 0: own message in a group
        bool fromMe;
        std::string text;
        Body body = Body::Text;
        const char* attachment = nullptr;  // file name
        bool attachmentStored = true;
        bool recoverable = false;
        int itemType = 0;
        int associatedType = 0;
    };
    std::vector<Msg> plan{
        {1, 1, false, "Hello from one", Body::Text},
        {1, 1, true, "Reply with emoji \xF0\x9F\x98\x80\xF0\x9F\x91\x8D", Body::ArchiveOnly},
        {1, 1, false, longText, Body::ArchiveOnly},
        {1, 1, true, "", Body::Text, "IMG_0001.JPG", true},
        {1, 1, false, "", Body::Text, "clip.MOV", false},
        {1, 1, false, "", Body::Text, nullptr, true, false, 0, 2001},  // a reaction
        {2, 2, false, "SMS text", Body::Both},
        {2, 2, true, veryLongText, Body::ArchiveOnly},
        {3, 1, false, "Group hello", Body::ArchiveOnly},
        {3, 3, false, "Group answer from Ann", Body::Text},
        {3, 0, true, "Own message to the group", Body::ArchiveOnly},
        {3, 0, true, "", Body::Text, nullptr, true, false, 2, 0},  // the group was renamed
        {4, 2, false, "Unnamed group first", Body::Text},
        {4, 4, false, "Unnamed group second \xE2\x9C\x85", Body::ArchiveOnly},
        {4, 0, true, "Unnamed group own", Body::Text},
    };
    if (recent) {
        // A chat whose first message is recently deleted is still a live chat.
        plan.insert(plan.begin(), {2, 2, false, "Deleted before the chat went on", Body::Text, nullptr, true, true});
        plan.push_back({1, 1, false, "Deleted but kept for a while", Body::ArchiveOnly, nullptr, true, true});
        plan.push_back({3, 0, true, "Deleted group message", Body::Text, nullptr, true, true});
    }

    // Messages the phone deleted for good, from the two one-to-one chats,
    // each with its chat link; ROWIDs past the live ones.
    const std::int64_t gonePast = 1000;
    std::int64_t goneWhen = when;
    Rng goneRng(seed ^ 0xDE1E7EDULL);  // apart, so that the live rows stay as they were
    modern::DeletionPlan deletionPlan;
    deletionPlan.seed = seed;
    deletionPlan.insert = [&](int index, bool padded) {
        const std::int64_t id = gonePast + index;
        const std::int64_t handle = 1 + index % 2;
        const bool fromMe = index % 3 == 0;
        goneWhen += goneRng.range(60, 3600);
        std::string text = "Meet me at " + modern::plantedName(index) + " corner";
        if (padded) text += ", the one past the bakery with the green door and the bench outside it" +
                            std::string(" where we waited last time for nearly an hour in the rain, remember?");
        const Blob archive = attributedBodyBlob(text, index % 2 == 0);
        const bool archiveOnly = index % 2 == 1;
        insertNamed(db, "message",
                    {{"ROWID", id},
                     {"guid", uuid(goneRng)},
                     {"text", archiveOnly ? V() : V(text)},
                     {"attributedBody", archiveOnly ? V(archive) : V()},
                     {"handle_id", handle},
                     {"service", chats[static_cast<std::size_t>(handle - 1)].service},
                     {"account", "e:me@example.com"},
                     {"date", nanos(goneWhen)},
                     {"date_read", fromMe ? V(0) : V(goneWhen + 60)},
                     {"date_delivered", fromMe ? V(static_cast<std::int64_t>(nanos(goneWhen + 1))) : V(0)},
                     {"is_from_me", fromMe ? 1 : 0},
                     {"is_read", fromMe ? 0 : 1},
                     {"cache_has_attachments", 0},
                     {"item_type", 0},
                     {"associated_message_type", 0}});
        insertNamed(db, "chat_message_join", {{"chat_id", handle}, {"message_id", id}, {"message_date", nanos(goneWhen)}});
        modern::DoomedRow row;
        row.row = {{"ROWID", id}, {"text", text}, {"address", handles[static_cast<std::size_t>(handle - 1)].address},
                   {"dateText", dateText(nanos(goneWhen), 1)}, {"addressRecoverable", true}};
        row.marks = {text};
        return row;
    };
    deletionPlan.erase = [&](int index) {
        // Deleting the chat link deletes the message too (the store's own trigger).
        const std::string id = std::to_string(gonePast + index);
        db.exec("DELETE FROM chat_message_join WHERE message_id = " + id);
        db.exec("DELETE FROM message WHERE ROWID = " + id);
    };
    // An edited message (iOS 16 lets one edit a sent text): the file holds
    // the first wording, the log the final one.
    const std::string editedFinal = "SMS text";
    deletionPlan.draft = [&] {
        db.exec("UPDATE message SET text = 'SMS txet, sent too fast' WHERE text = '" + editedFinal + "'");
    };
    deletionPlan.settle = [&] {
        db.exec("UPDATE message SET text = '" + editedFinal + "' WHERE text = 'SMS txet, sent too fast'");
    };
    modern::Deletions deletions(db, deletionPlan);
    bool deleting = false;

    // The last few rows stay in the log (sms.db-wal), as the phone leaves its
    // newest messages until it checkpoints; a benchmark database has none.
    const std::size_t logFrom = extraMessages == 0 ? plan.size() - 3 : plan.size();
    for (const Msg& m : plan) {
        if (static_cast<std::size_t>(rowId) == logFrom) {
            deletions.inFile();
            deleting = true;
            db.commit();
            startLog(db);
            db.begin();
        }
        ++rowId;
        when += rng.range(30, 7200);
        const std::int64_t date = nanos(when);
        const ChatDef& chat = chats[static_cast<std::size_t>(m.chat - 1)];
        const bool isMessage = m.itemType == 0 && m.associatedType == 0;
        Blob archive = attributedBodyBlob(m.text, rowId % 2 == 0);
        std::vector<std::pair<const char*, V>> row{
            {"ROWID", rowId},
            {"guid", uuid(rng)},
            {"text", m.body == Body::ArchiveOnly ? V() : V(m.text)},
            {"attributedBody", m.body == Body::Text ? V() : V(archive)},
            {"handle_id", m.handle},
            {"service", chat.service},
            {"account", "e:me@example.com"},
            {"date", date},
            {"date_read", m.fromMe ? V(0) : V(when + 60)},  // seconds, as the phone keeps them
            {"date_delivered", m.fromMe ? V(static_cast<std::int64_t>(date + 1000000000)) : V(0)},
            {"is_from_me", m.fromMe ? 1 : 0},
            {"is_read", m.fromMe ? 0 : 1},
            {"cache_has_attachments", m.attachment ? 1 : 0},
            {"item_type", m.itemType},
            {"associated_message_type", m.associatedType},
            {"associated_message_guid", m.associatedType ? V("p:0/" + uuid(rng)) : V()},
        };
        insertNamed(db, "message", row);
        if (m.recoverable)
            insertNamed(db, "chat_recoverable_message_join",
                        {{"chat_id", chat.id}, {"message_id", rowId}, {"delete_date", nanos(when + 86400)}});
        else
            insertNamed(db, "chat_message_join", {{"chat_id", chat.id}, {"message_id", rowId}, {"message_date", date}});

        nlohmann::json storedName = nullptr;
        std::string attachmentKind;
        if (m.attachment) {
            ++attachmentId;
            const std::string folder = digits(rng, 2) + "/" + digits(rng, 2) + "/" + uuid(rng);
            const std::string relative = "Library/SMS/Attachments/" + folder + "/" + m.attachment;
            const std::string guid = uuid(rng);
            insertNamed(db, "attachment", {{"ROWID", attachmentId},
                                           {"guid", guid},
                                           {"original_guid", guid},
                                           {"created_date", when},
                                           {"filename", "~/" + relative},
                                           {"transfer_name", m.attachment},
                                           {"is_outgoing", m.fromMe ? 1 : 0}});
            insertNamed(db, "message_attachment_join", {{"message_id", rowId}, {"attachment_id", attachmentId}});
            if (m.attachmentStored) {
                result.files.push_back({"MediaDomain", relative, jpegBytes(relative)});
                storedName = hashedName("MediaDomain", relative);
            } else {
                result.absent.emplace_back("MediaDomain", relative);
            }
            attachmentKind = std::string(m.attachment).ends_with(".JPG") ? "Image" : "Mov";
        }
        if (!isMessage) continue;

        const bool group = chat.members.size() > 1;
        std::string groupAddress, memberNames;
        for (const std::int64_t h : chat.members) {
            groupAddress += (groupAddress.empty() ? "" : ", ") + addressOf(h);
            const nlohmann::json name = nameOf(addressOf(h));
            const bool named = name.is_string() && !name.get<std::string>().empty();
            memberNames += (memberNames.empty() ? "" : ", ") + (named ? name.get<std::string>() : addressOf(h));
        }
        nlohmann::json t = {
            {"rowId", rowId},
            {"messagePhone", m.handle != 0 ? addressOf(m.handle) : groupAddress},
            // Own messages to a group went to everyone: no one person's name.
            {"messageName", m.handle != 0 ? nameOf(addressOf(m.handle)) : nlohmann::json(nullptr)},
            {"messageContent", m.text},
            {"messageDate", dateText(date, 1)},
            {"messageType", m.fromMe ? "Send" : "Received"},
            {"bImessage", std::string(chat.service) == "iMessage" ? 1 : 0},
            {"bDeleted", m.recoverable ? 1 : 0},
            {"isHasAttach", m.attachment ? 1 : 0},
            {"attachmentStoredName", storedName},
            {"attachType", m.attachment ? nlohmann::json(attachmentKind) : nlohmann::json(nullptr)},
            {"groupName", group ? nlohmann::json(chat.displayName.empty() ? memberNames : chat.displayName)
                                : nlohmann::json(nullptr)},
            {"groupAddress", group ? nlohmann::json(groupAddress) : nlohmann::json(nullptr)},
        };
        (m.recoverable ? deleted : live).push_back(std::move(t));
    }
    if (extraMessages > 0) addBulkMessages(db, rng, rowId, when, extraMessages);
    if (deleting) deletions.inLog();
    db.commit();
    FileAndLog written = finishWithLog(db, outPath + ".build");
    nlohmann::json gone = deletions.judged(written.database, written.log);
    // The judge of messages calls a row whose every listed column is still there complete.
    for (auto& row : gone) row["complete"] = row["recoverable"];
    writeBytes(outPath, written.database);
    result.files.front().content = std::move(written.database);
    if (!written.log.empty()) {
        writeBytes(outPath + "-wal", written.log);
        result.files.insert(result.files.begin() + 1,
                            {"HomeDomain", "Library/SMS/sms.db-wal", std::move(written.log)});
    }
    // The edited message's first wording, as a carving may list it.
    nlohmann::json stale = nlohmann::json::array();
    for (const nlohmann::json& m : live)
        if (m["messageContent"] == editedFinal)
            stale.push_back({{"address", m["messagePhone"]}, {"text", "SMS txet, sent too fast"}, {"dateText", m["messageDate"]}});
    truth = {{"messages", live}, {"deletedMessages", deleted}, {"carvedMessages", gone}, {"staleMessages", stale}};
    return result;
}

}  // namespace salvor::forge

#include "extract/modern_messages.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "extract/carved_copy.h"
#include "extract/commit_db.h"
#include "extract/extract_util.h"
#include "extract/modern_lookup.h"
#include "extract/named_columns.h"
#include "extract/typedstream.h"

namespace salvor {

using namespace extract_detail;

namespace {

constexpr const char* kLabel = "sms.db";
constexpr modern::Place kMessages{"HomeDomain", "Library/SMS/sms.db", "3d0d7e5fb2ce288813306e4d4636395e047a3d28"};

std::int64_t integer(const char* v) { return sqlite::hasText(v) ? sqlite::parseInteger(v) : 0; }

// Message → the first chat that lists it. A join row per message: kept as
// pairs in one array, sorted once all are read, rather than as a node each.
class ChatOfMessage {
public:
    void add(std::int64_t message, std::int64_t chat) { pairs_.emplace_back(message, chat); }
    // After the last add(); the order of adding decides between chats of one message.
    void seal() {
        std::stable_sort(pairs_.begin(), pairs_.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
        pairs_.erase(std::unique(pairs_.begin(), pairs_.end(),
                                 [](const auto& a, const auto& b) { return a.first == b.first; }),
                     pairs_.end());
        pairs_.shrink_to_fit();
    }
    const std::int64_t* find(std::int64_t message) const {
        const auto it = std::lower_bound(pairs_.begin(), pairs_.end(), message,
                                         [](const auto& p, std::int64_t m) { return p.first < m; });
        return it != pairs_.end() && it->first == message ? &it->second : nullptr;
    }

private:
    std::vector<std::pair<std::int64_t, std::int64_t>> pairs_;
};

struct Chat {
    std::string displayName;
    std::vector<std::int64_t> members;  // handle row ids, in join order
};

// Everything read before the messages themselves, by row id.
struct Tables {
    std::unordered_map<std::int64_t, std::string> handles;
    std::map<std::int64_t, Chat> chats;
    ChatOfMessage chatOfMessage;
    std::unordered_map<std::int64_t, std::string> attachmentOfMessage;  // its first attachment's file name
    std::unordered_set<std::int64_t> recoverable;  // kept as recently deleted
};

void readHandles(ScanContext& ctx, const sqlite::Database& db, Tables& t, bool carved) {
    NamedColumns cols(db, "handle");
    if (!cols.exists()) return;
    sqlite::Reader st(db, cols.plan({"ROWID", "id"}));
    while (!ctx.stopRequested() && st.step()) {
        if (!sqlite::hasText(st.text(0))) continue;
        const std::int64_t id = sqlite::parseInteger(st.text(0));
        const std::string address = sqlite::hasText(st.text(1)) ? columnText(st.text(1)) : std::string();
        t.handles[id] = address;
        if (carved) continue;
        // The deleted-message scan takes carved messages' addresses from these.
        auto node = std::make_shared<MVChatMessageNode>();
        node->rowid = static_cast<std::int32_t>(id);
        node->phoneValue = address;
        ctx.chatMessageArray.push_back(std::move(node));
    }
}

// Reads two integer columns of a join table, row by row.
template <class Fn>
void readJoin(ScanContext& ctx, const sqlite::Database& db, const char* table, const char* a, const char* b, Fn fn) {
    NamedColumns cols(db, table);
    if (!cols.has(a) || !cols.has(b)) return;
    sqlite::Reader st(db, cols.plan({a, b}));
    while (!ctx.stopRequested() && st.step())
        if (sqlite::hasText(st.text(0)) && sqlite::hasText(st.text(1)))
            fn(sqlite::parseInteger(st.text(0)), sqlite::parseInteger(st.text(1)));
}

void readChats(ScanContext& ctx, const sqlite::Database& db, Tables& t) {
    NamedColumns cols(db, "chat");
    if (cols.exists()) {
        sqlite::Reader st(db, cols.plan({"ROWID", "display_name"}));
        while (!ctx.stopRequested() && st.step())
            if (sqlite::hasText(st.text(0)))
                t.chats[sqlite::parseInteger(st.text(0))].displayName =
                    sqlite::hasText(st.text(1)) ? columnText(st.text(1)) : std::string();
    }
    readJoin(ctx, db, "chat_handle_join", "chat_id", "handle_id", [&](std::int64_t chat, std::int64_t handle) {
        auto it = t.chats.find(chat);
        if (it != t.chats.end()) it->second.members.push_back(handle);
    });
    readJoin(ctx, db, "chat_message_join", "message_id", "chat_id",
             [&](std::int64_t message, std::int64_t chat) { t.chatOfMessage.add(message, chat); });
    // Messages the person deleted stay in their table for a while, joined
    // here instead of to their chat.
    readJoin(ctx, db, "chat_recoverable_message_join", "message_id", "chat_id",
             [&](std::int64_t message, std::int64_t chat) {
                 t.recoverable.insert(message);
                 t.chatOfMessage.add(message, chat);
             });
    t.chatOfMessage.seal();
}

void readAttachments(ScanContext& ctx, const sqlite::Database& db, Tables& t) {
    std::unordered_map<std::int64_t, std::string> names;
    NamedColumns cols(db, "attachment");
    if (!cols.has("filename")) return;
    sqlite::Reader st(db, cols.plan({"ROWID", "filename"}));
    while (!ctx.stopRequested() && st.step())
        if (sqlite::hasText(st.text(0)) && sqlite::hasText(st.text(1)))
            names[sqlite::parseInteger(st.text(0))] = columnText(st.text(1));
    readJoin(ctx, db, "message_attachment_join", "message_id", "attachment_id",
             [&](std::int64_t message, std::int64_t attachment) {
                 auto it = names.find(attachment);
                 if (it != names.end()) t.attachmentOfMessage.emplace(message, it->second);
             });
}

// The path an attachment has inside the backup: its device path below the
// home folder ("~/Library/SMS/Attachments/…", older files "/var/mobile/…").
std::string attachmentRelativePath(const std::string& filename) {
    for (const char* prefix : {"~/", "/var/mobile/", "/private/var/mobile/"}) {
        const std::string p(prefix);
        if (filename.compare(0, p.size(), p) == 0) return filename.substr(p.size());
    }
    return filename;
}

// Contact name and picture of an address, looked up once per address.
class Names {
public:
    explicit Names(const ScanContext& ctx) : index_(ctx.contacts()) {}
    const std::pair<Text, Bytes>& of(const std::string& address) {
        auto it = cache_.find(address);
        if (it == cache_.end()) {
            ContactMatch match = index_.getNameByPhoneNumber(Text(address), nullptr);
            if (match.picture && match.picture->empty()) match.picture = nullptr;
            it = cache_.emplace(address, std::make_pair(std::move(match.name), std::move(match.picture))).first;
        }
        return it->second;
    }

private:
    ContactIndex index_;
    std::unordered_map<std::string, std::pair<Text, Bytes>> cache_;
};

// What a group conversation is called and who is in it.
struct Group {
    std::string name;
    std::string address;
};

Group groupOf(const Chat& chat, const Tables& t, Names& names) {
    Group g;
    std::string memberNames;
    for (const std::int64_t h : chat.members) {
        const auto it = t.handles.find(h);
        const std::string address = it == t.handles.end() ? std::string() : it->second;
        if (address.empty()) continue;
        const Text& name = names.of(address).first;
        if (!g.address.empty()) g.address += ", ";
        g.address += address;
        if (!memberNames.empty()) memberNames += ", ";
        memberNames += name && !name->empty() ? *name : address;
    }
    g.name = chat.displayName.empty() ? memberNames : chat.displayName;
    return g;
}

enum Col { kRowId, kText, kBody, kHandle, kDate, kFromMe, kService, kHasAttach, kItemType, kAssociated, kCount };

// With `carved`, the database is the private one of carved rows: only the
// deleted messages the carving found are posted, each with where it was.
void readMessages(ScanContext& ctx, const sqlite::Database& db, const Tables& t, const modern::CarvedCopy* carved) {
    NamedColumns cols(db, "message");
    if (!cols.exists()) return;
    sqlite::Reader st(db, cols.plan({"ROWID", "text", "attributedBody", "handle_id", "date", "is_from_me", "service",
                                     "cache_has_attachments", "item_type", "associated_message_type"}));
    Names names(ctx);
    std::unordered_map<std::int64_t, Group> groups;
    while (!ctx.stopRequested() && st.step()) {
        // Reactions, group renames, members joining and leaving: rows of the
        // table that are no message anyone wrote.
        if (integer(st.text(kItemType)) != 0 || integer(st.text(kAssociated)) != 0) continue;
        const std::int64_t rowId = integer(st.text(kRowId));
        const modern::CarvedOrigin* origin = carved ? carved->originOf("message", rowId) : nullptr;
        if (carved && !origin) continue;
        auto m = std::make_shared<MVMessageNode>();
        m->rowId = static_cast<std::int32_t>(rowId);
        if (sqlite::hasText(st.text(kText))) {
            m->messageContent = columnText(st.text(kText));
        } else {
            // Newer phones often keep the text only in the archived body.
            const std::vector<std::uint8_t> body = st.blob(kBody);
            if (auto text = typedstream::attributedText(body)) m->messageContent = std::move(*text);
        }
        // 0 is an unset date; the dates of iOS 11 and later are nanoseconds.
        if (const std::int64_t date = integer(st.text(kDate)); date != 0) m->messageDate = timestampOf(date, 1);
        if (const char* v = st.text(kFromMe); sqlite::hasText(v)) {
            const std::int64_t n = sqlite::parseInteger(v);
            m->messageType = n == 0 ? "Received" : n == 1 ? "Send" : "unknown";
        }
        m->bImessage = sqlite::hasText(st.text(kService)) && std::strcmp(st.text(kService), "iMessage") == 0 ? 1 : 0;

        const std::int64_t handle = integer(st.text(kHandle));
        if (handle != 0) m->handle_id = static_cast<std::int32_t>(handle);
        std::string address;
        if (const auto h = t.handles.find(handle); handle != 0 && h != t.handles.end()) address = h->second;

        const std::int64_t* chatId = t.chatOfMessage.find(rowId);
        const Chat* chat = nullptr;
        if (chatId)
            if (const auto c = t.chats.find(*chatId); c != t.chats.end()) chat = &c->second;
        if (chat && chat->members.size() > 1) {
            auto g = groups.find(*chatId);
            if (g == groups.end()) g = groups.emplace(*chatId, groupOf(*chat, t, names)).first;
            m->groupName = g->second.name;
            m->groupAddress = g->second.address;
            // Own messages in a group carry no handle: they went to everyone.
            if (address.empty()) address = g->second.address;
        } else if (address.empty() && chat && chat->members.size() == 1) {
            if (const auto h = t.handles.find(chat->members.front()); h != t.handles.end()) address = h->second;
        }
        m->messagePhone = address;
        if (!address.empty() && !(m->groupAddress && address == *m->groupAddress)) {
            const auto& [name, picture] = names.of(address);
            m->messageName = name;
            m->contactImageData = picture;
        } else {
            m->messageName = std::nullopt;
        }

        m->isHasAttach = integer(st.text(kHasAttach)) != 0 ? 1 : 0;
        if (const auto a = t.attachmentOfMessage.find(rowId); m->isHasAttach && a != t.attachmentOfMessage.end()) {
            const std::string relative = attachmentRelativePath(a->second);
            // Absent when the backup does not hold the file (offloaded, or
            // never downloaded); the kind is still told.
            m->attachmentPath = ctx.getFileKeyBytheFilepath(relative);
            m->attachType = attachmentKind(relative);
            if (m->attachType == "Contact" || m->attachType == "Location")
                m->contactImageData = m->attachmentPath ? readWholeFile(ctx, *m->attachmentPath) : nullptr;
        }

        if (origin) {
            if (rowId >= std::int64_t{1} << 31) m->rowId = -1;  // an id the private database gave
            modern::markCarved(*m, *origin);
            ctx.sink.deletedMessage(m);
        } else if (t.recoverable.count(rowId)) {
            m->bDeleted = 1;
            ctx.sink.deletedMessage(m);
        } else {
            ctx.sink.message(m);
        }
    }
}

}  // namespace

void scanModernMessages(ScanContext& ctx, const std::string& backupPath) {
    if (!ctx.modernFormat || backupPath.empty()) return;
    // The newest messages may still be in the log stored beside the file.
    const modern::Found database = modern::findDatabase(ctx, {kMessages}, true);
    if (database.stored.empty()) return;
    ScratchScope scratch(ctx);
    const auto read = [&](const std::string& path, const modern::CarvedCopy* carved) {
        sqlite::Database db(path, ctx.stop, kLabel);
        if (!db.ok()) return;
        Tables t;
        readHandles(ctx, db, t, carved != nullptr);
        readChats(ctx, db, t);
        readAttachments(ctx, db, t);
        readMessages(ctx, db, t, carved);
    };
    if (const auto copy = modern::preparedCopy(ctx, database)) {
        read(*copy, nullptr);
        // Deleted messages, with the conversations and addresses they join to.
        modern::CarvePlan plan;
        plan.mainTables = {"message"};
        plan.joinTables = {"handle", "chat", "chat_handle_join", "chat_message_join", "attachment",
                           "message_attachment_join"};
        plan.identity["message"] = {"guid"};
        if (const auto carved = modern::carvedCopy(ctx, database, *copy, plan, kLabel)) read(carved->path, &*carved);
    }
    ctx.postStageProgress();
}

}  // namespace salvor

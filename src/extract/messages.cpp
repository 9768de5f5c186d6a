// Messages: SMS, MMS and iMessage rows of the message database, in the newer
// (message/handle/attachment) or older (message/group_member) layout.
#include <memory>
#include <unordered_map>
#include <utility>

#include "core/byte_reader.h"
#include "extract/commit_db.h"
#include "extract/extract_util.h"
#include "extract/extractors.h"

namespace salvor {

using namespace extract_detail;

namespace {

constexpr const char* kMessages = "3d0d7e5fb2ce288813306e4d4636395e047a3d28";
constexpr const char* kLabel = "sms.db";

// The statements of the two layouts, each with what to read when a joined
// table is damaged: the message rows alone, with the address the row itself
// carries where the layout has one (the older layouts' message.address).
const sqlite::ReadPlan kAttachmentsRead{
    {"message_attachment_join.message_id, message_attachment_join.attachment_id,"
     "message_attachment_join.attachment_id,attachment.ROWID,attachment.filename",
     "attachment left join  message_attachment_join on  attachment.ROWID= message_attachment_join.attachment_id",
     "",
     {"attachment", "message_attachment_join"}},
    {{"NULL,NULL,NULL,attachment.ROWID,attachment.filename", "attachment", "", {"attachment"}}}};
const sqlite::ReadPlan kHandlesRead{{"ROWID, id", "handle", "", {"handle"}}, {}};
const sqlite::ReadPlan kNewerFirstRead{
    {"message.ROWID,message.cache_has_attachments,message.text,message.date,message.handle_id,handle.id,is_from_me",
     "message left join handle on message.handle_id=handle.ROWID",
     "",
     {"message", "handle"}},
    {{"message.ROWID,message.cache_has_attachments,message.text,message.date,message.handle_id,NULL,is_from_me",
      "message",
      "",
      {"message"}}}};

// The older statements differ only in their columns.
sqlite::ReadPlan olderPlan(const std::string& before, const std::string& after) {
    auto columns = [&](const char* address) { return before + address + after; };
    return {{columns("group_member.address"),
             "message left join  group_member on  message.group_id= group_member.group_id",
             "",
             {"message", "group_member"}},
            {{columns("message.address"), "message", "", {"message"}},
             {columns("NULL"), "message", "", {"message"}}}};
}
const sqlite::ReadPlan kNewerSecondRead =
    olderPlan("message.ROWID,message.cache_has_attachments,message.group_id,subject, text,date,",
              ",svc_center,flags,association_id");
const sqlite::ReadPlan kOlderFirstRead =
    olderPlan("message.ROWID,message.group_id,subject, text,date,",
              ",svc_center,flags,association_id ,is_madrid,madrid_handle, madrid_account,madrid_flags,"
              "madrid_attachmentInfo");
const sqlite::ReadPlan kOlderSecondRead =
    olderPlan("message.ROWID,message.group_id,subject, text,date,", ",svc_center,flags,association_id");

// scanMessageAttachments: the attachment rows, with device paths and kinds.
void scanMessageAttachments(ScanContext& ctx, const sqlite::Database& db) {
    sqlite::Reader st(db, kAttachmentsRead);
    while (!ctx.stopRequested() && st.step()) {
        auto node = std::make_shared<MVMessageAttachNode>();
        if (sqlite::hasText(st.text(0))) node->messageId = static_cast<std::int32_t>(sqlite::parseInteger(st.text(0)));
        if (sqlite::hasText(st.text(1)))
            node->attachmentId = static_cast<std::int32_t>(sqlite::parseInteger(st.text(1)));
        if (const char* filename = st.text(4); sqlite::hasText(filename)) {
            node->attachpath = removeAll(columnText(filename), "~/");
            node->attachType = attachmentKind(*node->attachpath);
        }
        ctx.messageAttachments.push_back(std::move(node));
    }
}

// selectROWIDandIDFromHandleTablewithSqlite: the live handles, for the deleted-message scan.
void selectROWIDandIDFromHandleTablewithSqlite(ScanContext& ctx, const sqlite::Database& db) {
    sqlite::Reader st(db, kHandlesRead);
    while (!ctx.stopRequested() && st.step()) {
        auto node = std::make_shared<MVChatMessageNode>();
        if (sqlite::hasText(st.text(0))) node->rowid = static_cast<std::int32_t>(sqlite::parseInteger(st.text(0)));
        setText(node->phoneValue, st.text(1));
        ctx.chatMessageArray.push_back(std::move(node));
    }
}

// Contact name and picture for the message's address. The contact list does
// not change while messages are read, so each address is looked up once (a
// conversation's messages share it).
class NameLookup {
public:
    explicit NameLookup(const ScanContext& ctx) : index_(ctx.contacts()) {}
    void apply(MVMessageNode& message) {
        const std::string& phone = textOrEmpty(message.messagePhone);
        auto it = cache_.find(phone);
        if (it == cache_.end()) {
            ContactMatch match = index_.getNameByPhoneNumber(message.messagePhone, nullptr);
            if (match.picture && match.picture->empty()) match.picture = nullptr;
            it = cache_.emplace(phone, std::make_pair(std::move(match.name), std::move(match.picture))).first;
        }
        message.messageName = it->second.first;
        message.contactImageData = it->second.second;
    }

private:
    ContactIndex index_;
    std::unordered_map<std::string, std::pair<Text, Bytes>> cache_;
};

// The first attachment row of each message, found without walking the list per message.
using AttachmentIndex = std::unordered_map<std::int32_t, const MVMessageAttachNode*>;

AttachmentIndex indexAttachments(const ScanContext& ctx) {
    AttachmentIndex index;
    for (const auto& node : ctx.messageAttachments) index.emplace(node->messageId, node.get());
    return index;
}

void attachAttachment(ScanContext& ctx, const AttachmentIndex& index, MVMessageNode& message) {
    if (message.isHasAttach != 1) return;
    const auto it = index.find(message.rowId);
    if (it == index.end() || !it->second->attachpath) return;
    const MVMessageAttachNode& node = *it->second;
    message.attachmentPath = ctx.getFileKeyBytheFilepath(*node.attachpath);
    message.attachType = node.attachType;
    if (message.attachType == "Contact" || message.attachType == "Location") {
        // The card itself, read from its stored file inside the backup.
        message.contactImageData = message.attachmentPath ? readWholeFile(ctx, *message.attachmentPath) : nullptr;
    }
}

// Column positions of one newer-layout statement.
struct NewerColumns {
    int rowId, hasAttach, text, date, phone, direction;
    bool directionIsFromMe;  // is_from_me (0/1) rather than the older flags
};
constexpr NewerColumns kNewerFirst{0, 1, 2, 3, 5, 6, true};
constexpr NewerColumns kNewerSecond{0, 1, 4, 5, 6, 8, false};

void readNewer(ScanContext& ctx, const std::string& databasePath) {
    sqlite::Database db(databasePath, ctx.stop, kLabel);
    scanMessageAttachments(ctx, db);
    if (!db.ok()) return;
    NameLookup names(ctx);
    const AttachmentIndex attachments = indexAttachments(ctx);
    {
        NewerColumns cols = kNewerFirst;
        auto st = std::make_unique<sqlite::Reader>(db, kNewerFirstRead);
        if (!st->ok()) {
            st = std::make_unique<sqlite::Reader>(db, kNewerSecondRead);
            cols = kNewerSecond;
        }
        // SQLite interrupts a statement only every few thousand steps; the
        // row loop stops at once.
        while (!ctx.stopRequested() && st->step()) {
            auto message = std::make_shared<MVMessageNode>();
            if (const char* v = st->text(cols.rowId); sqlite::hasText(v))
                message->rowId = static_cast<std::int32_t>(sqlite::parseInteger(v));
            if (const char* v = st->text(cols.hasAttach); sqlite::hasText(v))
                message->isHasAttach = sqlite::parseInteger(v) != 0 ? 1 : 0;
            setText(message->messageContent, st->text(cols.text));
            setDate(message->messageDate, st->text(cols.date), 0);
            setText(message->messagePhone, st->text(cols.phone));
            if (const char* v = st->text(cols.direction); sqlite::hasText(v)) {
                const std::int64_t n = sqlite::parseInteger(v);
                if (cols.directionIsFromMe)
                    message->messageType = n == 0 ? "Received" : n == 1 ? "Send" : "unknown";
                else
                    message->messageType = flagsType(n);
            }
            names.apply(*message);
            attachAttachment(ctx, attachments, *message);
            ctx.sink.message(message);
        }
    }
    selectROWIDandIDFromHandleTablewithSqlite(ctx, db);
}

void readOlder(ScanContext& ctx, const std::string& databasePath) {
    sqlite::Database db(databasePath, ctx.stop, kLabel);
    if (!db.ok()) return;
    NameLookup names(ctx);
    auto st = std::make_unique<sqlite::Reader>(db, kOlderFirstRead);
    if (!st->ok()) st = std::make_unique<sqlite::Reader>(db, kOlderSecondRead);
    while (!ctx.stopRequested() && st->step()) {
        auto message = std::make_shared<MVMessageNode>();
        setText(message->messageContent, st->text(3));
        setDate(message->messageDate, st->text(4), 0);
        setText(message->messagePhone, st->text(5));
        if (const char* v = st->text(7); sqlite::hasText(v)) message->messageType = flagsType(sqlite::parseInteger(v));
        if (const char* v = st->text(9); sqlite::hasText(v) && sqlite::parseInteger(v) == 1) {
            message->bImessage = 1;
            setText(message->messagePhone, st->text(10));
            if (const char* f = st->text(12); sqlite::hasText(f))
                message->messageType = madridFlagsType(sqlite::parseInteger(f));
            const auto info = st->blob(13);
            if (!info.empty()) {
                std::string bytes;
                for (std::uint8_t b : info)
                    if (b != 0) bytes.push_back(static_cast<char>(b));
                message->messageContent = blobText(bytes);
            }
        }
        names.apply(*message);
        ctx.sink.message(message);
    }
}

}  // namespace

void scanMessages(ScanContext& ctx, const std::string& backupPath) {
    if (backupPath.empty()) return;
    const std::string stored = storedPath(backupPath, kMessages);
    if (!fileExists(stored)) return;
    ScratchScope scratch(ctx);
    if (const auto copy = preparedCopy(ctx, stored)) {
        if (ctx.currentNodeIsiOS6Version)
            readNewer(ctx, *copy);
        else
            readOlder(ctx, *copy);
    }
    ctx.postStageProgress();
}

}  // namespace salvor

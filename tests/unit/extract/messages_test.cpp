#include <filesystem>

#include "extract/extractors.h"
#include "extract_fixture.h"

namespace salvor::test {
namespace {

constexpr const char* kSms = "3d0d7e5fb2ce288813306e4d4636395e047a3d28";

class MessagesTest : public ExtractTest {
protected:
    void SetUp() override {
        ExtractTest::SetUp();
        auto ann = std::make_shared<MVContactNode>();
        ann->contactName = "Ann";
        ann->contactPhone = " (555) 123-4567";
        ann->imageData = std::make_shared<const ByteBuffer>(ByteBuffer{1, 2});
        ctx.contactArray.push_back(ann);
    }

    void addTreeFile(const std::string& relativePath, const std::string& storedName, const std::string& content) {
        auto node = std::make_shared<MVTreeDirNode>();
        node->fileDomain = "MediaDomain";
        node->filePath = relativePath;
        node->fileKey = backup / storedName;
        writeFile(backup / storedName, content);
        ctx.treeFileArray.push_back(node);
    }
};

TEST_F(MessagesTest, NewerLayoutWithAttachmentsAndHandles) {
    makeDb(stored(kSms), "ios6/sms.db.sql", R"(
        INSERT INTO handle(ROWID, id, service) VALUES(1, '555-123-4567', 'SMS');
        INSERT INTO handle(ROWID, id, service) VALUES(2, 'bob@example.com', 'iMessage');
        INSERT INTO message(ROWID, guid, text, handle_id, date, is_from_me, cache_has_attachments)
            VALUES(1, 'g1', 'hello', 1, 0, 0, 0);
        INSERT INTO message(ROWID, guid, text, handle_id, date, is_from_me, cache_has_attachments)
            VALUES(2, 'g2', 'picture', 2, 380000000, 1, 1);
        INSERT INTO message(ROWID, guid, text, handle_id, date, is_from_me, cache_has_attachments)
            VALUES(3, 'g3', '', 1, 1300000000, 2, 1);
        INSERT INTO message(ROWID, guid, text, handle_id, date, is_from_me, cache_has_attachments)
            VALUES(4, 'g4', CAST(X'80' AS TEXT), 2, NULL, 0, 1);
        INSERT INTO message(ROWID, guid, text, handle_id, is_from_me, cache_has_attachments)
            VALUES(5, 'g5', 'card, no lookup', 2, 0, 1);
        INSERT INTO attachment(ROWID, guid, filename) VALUES(1, 'a1', '~/Library/SMS/Attachments/ab/12/XYZ/IMG_0001.JPG');
        INSERT INTO attachment(ROWID, guid, filename) VALUES(2, 'a2', '~/Library/SMS/Attachments/cd/Contact.vcf');
        INSERT INTO attachment(ROWID, guid, filename) VALUES(3, 'a3', '~/Library/SMS/Attachments/ef/clip.3gp');
        INSERT INTO attachment(ROWID, guid, filename) VALUES(4, 'a4', '~/Library/SMS/Attachments/ef/voice.m4a');
        INSERT INTO attachment(ROWID, guid, filename) VALUES(5, 'a5', '~/Library/SMS/Attachments/ef/notes.txt');
        INSERT INTO attachment(ROWID, guid, filename) VALUES(6, 'a6', '~/Library/SMS/Attachments/gh/Current Location.loc.vcf');
        INSERT INTO message_attachment_join VALUES(2, 1);
        INSERT INTO message_attachment_join VALUES(3, 2);
        INSERT INTO message_attachment_join VALUES(4, 3);
        INSERT INTO message_attachment_join VALUES(5, 6);
    )");
    addTreeFile("Library/SMS/Attachments/ab/12/XYZ/IMG_0001.JPG", "1111111111111111111111111111111111111111", "jpeg");
    addTreeFile("Library/SMS/Attachments/cd/Contact.vcf", "2222222222222222222222222222222222222222",
                "BEGIN:VCARD\nEND:VCARD\n");
    ctx.currentNodeIsiOS6Version = true;

    // The working directory holds a file under the attachment's device path:
    // it must not be read in place of the stored file.
    TempDir workDir;
    std::filesystem::create_directories(workDir / "Library/SMS/Attachments/cd");
    writeFile(workDir / "Library/SMS/Attachments/cd/Contact.vcf", "WRONG CARD");
    std::filesystem::create_directories(workDir / "Library/SMS/Attachments/gh");
    writeFile(workDir / "Library/SMS/Attachments/gh/Current Location.loc.vcf", "WRONG PLACE");
    const auto oldDir = std::filesystem::current_path();
    std::filesystem::current_path(workDir.path());
    runPiped(&scanMessageThread, backup.path());
    std::filesystem::current_path(oldDir);

    EXPECT_EQ(progress(), std::vector<int>{50});
    EXPECT_EQ(names().back(), "ScanProgressInfo");
    const auto messages = records<MessagePtr>(events::ScanMessageInfo);
    ASSERT_EQ(messages.size(), 5u);

    // Plain fields are compared with the forge end to end; here the odd cases.
    const auto& m1 = *messages[0];
    EXPECT_EQ(m1.messageName, "Ann");
    ASSERT_TRUE(m1.contactImageData);
    EXPECT_EQ(*m1.contactImageData, (ByteBuffer{1, 2}));
    EXPECT_EQ(m1.bImessage, 0);
    EXPECT_FALSE(m1.attachmentPath);

    const auto& m2 = *messages[1];
    EXPECT_FALSE(m2.messageName);        // no contact matches
    EXPECT_FALSE(m2.contactImageData);   // and no picture carries over
    EXPECT_EQ(m2.isHasAttach, 1);
    EXPECT_EQ(m2.attachmentPath, backup / "1111111111111111111111111111111111111111");
    EXPECT_EQ(m2.attachType, "Image");

    const auto& m3 = *messages[2];
    EXPECT_EQ(m3.messageType, "unknown");
    EXPECT_EQ(m3.messageContent, "");  // empty column: default kept
    EXPECT_EQ(m3.attachType, "Contact");
    EXPECT_EQ(m3.messageName, "Ann");
    ASSERT_TRUE(m3.contactImageData);  // the card's bytes, from the stored file
    const std::string card = "BEGIN:VCARD\nEND:VCARD\n";
    EXPECT_EQ(*m3.contactImageData, ByteBuffer(card.begin(), card.end()));

    const auto& m4 = *messages[3];
    EXPECT_EQ(m4.messageContent, "\xEF\xBF\xBD");  // invalid UTF-8: replaced, not dropped
    EXPECT_EQ(m4.messageDate, "");     // NULL date: default kept
    EXPECT_FALSE(m4.attachmentPath);   // not in the file tree
    EXPECT_EQ(m4.attachType, "Mov");

    const auto& m5 = *messages[4];  // a location card that the backup does not hold
    EXPECT_EQ(m5.attachType, "Location");
    EXPECT_FALSE(m5.attachmentPath);
    EXPECT_FALSE(m5.contactImageData);

    ASSERT_EQ(ctx.meesageAttachArray.size(), 6u);
    EXPECT_EQ(ctx.meesageAttachArray[0]->attachpath, "Library/SMS/Attachments/ab/12/XYZ/IMG_0001.JPG");
    EXPECT_EQ(ctx.meesageAttachArray[3]->messageId, -1);  // referred to by no message
    EXPECT_EQ(ctx.meesageAttachArray[3]->attachType, "Mov");
    EXPECT_FALSE(ctx.meesageAttachArray[4]->attachType);

    ASSERT_EQ(ctx.chatMessageArray.size(), 2u);
    EXPECT_EQ(ctx.chatMessageArray[1]->rowid, 2);
    EXPECT_EQ(ctx.chatMessageArray[1]->phoneValue, "bob@example.com");
    EXPECT_TRUE(logLines.empty());
}

// A card attachment is read only from a regular file of the backup: a link in
// its place could lead to any file of the machine.
TEST_F(MessagesTest, ACardAttachmentThatIsALinkIsNotRead) {
    makeDb(stored(kSms), "ios6/sms.db.sql", R"(
        INSERT INTO handle(ROWID, id, service) VALUES(1, '555-123-4567', 'SMS');
        INSERT INTO message(ROWID, guid, text, handle_id, date, is_from_me, cache_has_attachments)
            VALUES(1, 'g1', 'card', 1, 0, 0, 1);
        INSERT INTO attachment(ROWID, guid, filename) VALUES(1, 'a1', '~/Library/SMS/Attachments/cd/Contact.vcf');
        INSERT INTO message_attachment_join VALUES(1, 1);
    )");
    TempDir outside;
    writeFile(outside / "secret", "BEGIN:VCARD\nEND:VCARD\n");
    addTreeFile("Library/SMS/Attachments/cd/Contact.vcf", "3333333333333333333333333333333333333333", "x");
    std::filesystem::remove(backup / "3333333333333333333333333333333333333333");
    std::filesystem::create_symlink(outside / "secret", backup / "3333333333333333333333333333333333333333");
    ctx.currentNodeIsiOS6Version = true;
    runPiped(&scanMessageThread, backup.path());
    const auto messages = records<MessagePtr>(events::ScanMessageInfo);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0]->attachType, "Contact");
    EXPECT_FALSE(messages[0]->contactImageData);
}

TEST_F(MessagesTest, NewerSecondStatementUsesItsOwnColumns) {
    // An upgraded older store with the attachment flag but no handle table.
    makeDb(stored(kSms), "ios5/sms.db.sql", R"(
        ALTER TABLE message ADD COLUMN cache_has_attachments INTEGER DEFAULT 0;
        INSERT INTO group_member(group_id, address) VALUES(7, '5551234567');
        INSERT INTO message(ROWID, text, date, flags, group_id, cache_has_attachments)
            VALUES(9, 'from the second', 1300000000, 3, 7, 0);
    )");
    ctx.currentNodeIsiOS6Version = true;
    runPiped(&scanMessageThread, backup.path());
    const auto messages = records<MessagePtr>(events::ScanMessageInfo);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0]->rowId, 9);
    EXPECT_EQ(messages[0]->messageContent, "from the second");
    EXPECT_EQ(messages[0]->messagePhone, "5551234567");
    EXPECT_EQ(messages[0]->messageType, "Send");
    EXPECT_EQ(messages[0]->messageDate.value_or("").substr(6, 4), "2011");
    EXPECT_EQ(messages[0]->messageName, "Ann");
    EXPECT_TRUE(ctx.chatMessageArray.empty());
    EXPECT_EQ(progress(), std::vector<int>{50});
}

TEST_F(MessagesTest, OlderLayoutFlagsAndIMessages) {
    makeDb(stored(kSms), "ios5/sms.db.sql", R"(
        INSERT INTO group_member(group_id, address) VALUES(1, '5551234567');
        INSERT INTO group_member(group_id, address) VALUES(2, '777');
        INSERT INTO message(text, date, flags, group_id, is_madrid) VALUES('sms in', 1300000000, 22, 1, 0);
        INSERT INTO message(text, flags, group_id) VALUES('sms out', 16387, 1);
        INSERT INTO message(text, flags, group_id) VALUES('odd', 0, 2);
        INSERT INTO message(text, group_id, is_madrid, madrid_handle, madrid_flags)
            VALUES('im in', 2, 1, 'im@example.com', 36869);
        INSERT INTO message(text, group_id, is_madrid, madrid_handle, madrid_flags) VALUES('im out', 1, 1, '', 12289);
        INSERT INTO message(text, group_id, is_madrid, madrid_flags, madrid_attachmentInfo)
            VALUES('replaced', 2, 1, 2, X'610062');
        INSERT INTO message(text, group_id, is_madrid, madrid_flags, madrid_attachmentInfo)
            VALUES('replaced too', 2, 1, 5, X'FF00');
    )");
    runPiped(&scanMessageThread, backup.path());
    const auto m = records<MessagePtr>(events::ScanMessageInfo);
    ASSERT_EQ(m.size(), 7u);
    EXPECT_EQ(m[0]->messageType, "Received");
    EXPECT_EQ(m[0]->bImessage, 0);
    EXPECT_EQ(m[0]->rowId, -1);  // this layout leaves row and attachment fields alone
    EXPECT_EQ(m[1]->messageType, "Send");
    EXPECT_EQ(m[2]->messageType, "unknown");
    EXPECT_FALSE(m[2]->contactImageData);

    EXPECT_EQ(m[3]->bImessage, 1);
    EXPECT_EQ(m[3]->messagePhone, "im@example.com");
    EXPECT_EQ(m[3]->messageType, "Received");
    EXPECT_EQ(m[4]->messagePhone, "5551234567");  // empty handle keeps the member address
    EXPECT_EQ(m[4]->messageType, "Send");
    // Repeated addresses keep getting the name and picture, with none in between.
    for (int i : {0, 1, 4}) {
        EXPECT_EQ(m[i]->messageName, "Ann") << i;
        ASSERT_TRUE(m[i]->contactImageData) << i;
        EXPECT_EQ(*m[i]->contactImageData, (ByteBuffer{1, 2})) << i;
    }
    EXPECT_FALSE(m[3]->contactImageData);
    EXPECT_EQ(m[5]->messageContent, "ab");  // zero bytes removed
    EXPECT_EQ(m[5]->messageType, "Received");
    EXPECT_EQ(m[6]->messageContent, "");  // a binary blob is no text
    EXPECT_EQ(m[6]->messageType, "unknown");
    EXPECT_TRUE(ctx.chatMessageArray.empty());
    EXPECT_EQ(progress(), std::vector<int>{50});
}

}  // namespace
}  // namespace salvor::test

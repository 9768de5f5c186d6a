#include <filesystem>

#include "core/helpers.h"
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
            VALUES(3, 'g3', '', 1, 1300000000, 2, 1);
        INSERT INTO message(ROWID, guid, text, handle_id, date, is_from_me, cache_has_attachments)
            VALUES(4, 'g4', CAST(X'80' AS TEXT), 2, NULL, 0, 1);
        INSERT INTO message(ROWID, guid, text, handle_id, is_from_me, cache_has_attachments)
            VALUES(5, 'g5', 'card, no lookup', 2, 0, 1);
        INSERT INTO attachment(ROWID, guid, filename) VALUES(2, 'a2', '~/Library/SMS/Attachments/cd/Contact.vcf');
        INSERT INTO attachment(ROWID, guid, filename) VALUES(3, 'a3', '~/Library/SMS/Attachments/ef/clip.3gp');
        INSERT INTO attachment(ROWID, guid, filename) VALUES(6, 'a6', '~/Library/SMS/Attachments/gh/Current Location.loc.vcf');
        INSERT INTO message_attachment_join VALUES(3, 2);
        INSERT INTO message_attachment_join VALUES(4, 3);
        INSERT INTO message_attachment_join VALUES(5, 6);
    )");
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
    runPiped(&scanMessages, backup.path());
    std::filesystem::current_path(oldDir);

    EXPECT_EQ(progress(), std::vector<int>{50});
    EXPECT_EQ(names().back(), "progress");
    const auto messages = records<MessagePtr>("message");
    ASSERT_EQ(messages.size(), 4u);

    // Plain fields are compared with the forge end to end; here the odd cases.
    const auto& m3 = *messages[1];
    EXPECT_EQ(m3.messageType, "unknown");
    EXPECT_EQ(m3.messageContent, "");  // empty column: default kept
    EXPECT_EQ(m3.attachType, "Contact");
    EXPECT_EQ(m3.messageName, "Ann");
    ASSERT_TRUE(m3.contactImageData);  // the card's bytes, from the stored file
    const std::string card = "BEGIN:VCARD\nEND:VCARD\n";
    EXPECT_EQ(*m3.contactImageData, ByteBuffer(card.begin(), card.end()));

    const auto& m4 = *messages[2];
    EXPECT_EQ(m4.messageContent, "\xEF\xBF\xBD");  // invalid UTF-8: replaced, not dropped
    EXPECT_FALSE(m4.messageDate);  // NULL date: none
    EXPECT_FALSE(m4.attachmentPath);   // not in the file tree
    EXPECT_EQ(m4.attachType, "Mov");

    const auto& m5 = *messages[3];  // a location card that the backup does not hold
    EXPECT_EQ(m5.attachType, "Location");
    EXPECT_FALSE(m5.attachmentPath);
    EXPECT_FALSE(m5.contactImageData);

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
    runPiped(&scanMessages, backup.path());
    const auto messages = records<MessagePtr>("message");
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0]->attachType, "Contact");
    EXPECT_FALSE(messages[0]->contactImageData);
}

}  // namespace
}  // namespace salvor::test

// The deleted-messages scan over hand-laid pages of each layout (records
// whose cell header was overwritten when they were freed), and its recall
// and precision on forged backups of every generation.
#include <gtest/gtest.h>

#include <any>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "carve/deleted_messages.h"
#include "core/record_collector.h"
#include "core/helpers.h"
#include "core/scan_context.h"

namespace salvor::test {
namespace {

constexpr std::uint32_t P = 1024;
constexpr std::int64_t kEpoch2001 = 978307200;

// A column value: NULL, an integer stored in `width` bytes (0: the constants
// 0 and 1 as serial types 8 and 9), a text, or a blob.
struct Int {
    std::int64_t value;
    int width;
};
struct Blob {
    std::size_t size;
};
using Value = std::variant<std::monostate, Int, std::string, Blob>;

void putVarint(std::vector<std::uint8_t>& out, std::uint64_t v) {
    std::vector<std::uint8_t> groups;
    do {
        groups.insert(groups.begin(), static_cast<std::uint8_t>(v & 0x7F));
        v >>= 7;
    } while (v != 0);
    for (std::size_t i = 0; i + 1 < groups.size(); ++i) groups[i] |= 0x80;
    out.insert(out.end(), groups.begin(), groups.end());
}

// A table-leaf cell: payload size, row id, then the record in SQLite's format.
std::vector<std::uint8_t> cell(std::int64_t rowid, const std::vector<Value>& columns) {
    std::vector<std::uint8_t> types, body;
    for (const Value& v : columns) {
        if (std::holds_alternative<std::monostate>(v)) {
            types.push_back(0);
        } else if (const Int* n = std::get_if<Int>(&v)) {
            if (n->width == 0) {
                types.push_back(n->value == 0 ? 8 : 9);
                continue;
            }
            types.push_back(static_cast<std::uint8_t>(n->width == 8 ? 6 : n->width == 6 ? 5 : n->width));
            for (int i = n->width - 1; i >= 0; --i) body.push_back(static_cast<std::uint8_t>(n->value >> (8 * i)));
        } else if (const std::string* s = std::get_if<std::string>(&v)) {
            putVarint(types, 13 + 2 * s->size());
            body.insert(body.end(), s->begin(), s->end());
        } else {
            const std::size_t n = std::get<Blob>(v).size;
            putVarint(types, 12 + 2 * n);
            body.insert(body.end(), n, 0x84);
        }
    }
    std::vector<std::uint8_t> record;
    putVarint(record, types.size() + 1);
    record.insert(record.end(), types.begin(), types.end());
    record.insert(record.end(), body.begin(), body.end());
    std::vector<std::uint8_t> out;
    putVarint(out, record.size());
    putVarint(out, static_cast<std::uint64_t>(rowid));
    out.insert(out.end(), record.begin(), record.end());
    return out;
}

// Freeing a cell writes a free-block header over its first four bytes.
std::vector<std::uint8_t> freed(std::vector<std::uint8_t> c) {
    c[0] = 0, c[1] = 0, c[2] = static_cast<std::uint8_t>(c.size() >> 8), c[3] = static_cast<std::uint8_t>(c.size());
    return c;
}

const std::string kGuid = "8F0C2C1E-3A44-4B6E-9E0B-2D7A5C1B9E40";

// A message row of the newer layout (38 columns).
std::vector<Value> newerMessage(const std::string& text, Value handleId, Value country, std::int64_t date,
                                int dateWidth, bool fromMe, std::size_t bodySize) {
    std::vector<Value> row(38, Int{0, 0});
    row[0] = std::monostate{};
    row[1] = kGuid;
    row[2] = text;
    row[4] = std::monostate{};
    row[5] = handleId;
    row[6] = std::monostate{};
    row[7] = country;
    row[8] = Blob{bodySize};
    row[9] = Int{10, 1};
    row[11] = std::string("SMS");
    row[12] = row[13] = std::monostate{};
    row[15] = Int{date, dateWidth};
    row[21] = Int{fromMe ? 1 : 0, 0};
    row[35] = std::monostate{};
    return row;
}

// A message row of the older layout: 17 columns, or 33 with the madrid_ columns.
std::vector<Value> olderMessage(Value address, std::int64_t date, const std::string& text, int flags, bool madrid,
                                const std::string& handle = "", int madridFlags = 0) {
    std::vector<Value> row = {std::monostate{}, address, Int{date, 4}, text, Int{flags, 1}, Int{0, 0},
                              std::monostate{}, Int{3, 1}, Int{0, 0}, Int{0, 0}, Int{0, 0}, Int{0, 0},
                              std::monostate{}, std::string("us"), std::monostate{}, std::monostate{}, Int{1, 0}};
    if (row.size() == 17 && !madrid) return row;
    std::vector<Value> more(16, std::monostate{});
    if (!handle.empty()) {
        more[0] = Blob{40};
        more[1] = handle;
        more[8] = Int{madridFlags, 3};
        more[12] = Int{1, 0};  // is_madrid
    }
    row.insert(row.end(), more.begin(), more.end());
    return row;
}

class DelMessageScanTest : public ::testing::Test {
protected:
    RecordCollector sink;
    ScanContext ctx{sink};
    std::vector<MessagePtr>& carved = sink.deletedMessages;
    std::vector<std::uint8_t> file = std::vector<std::uint8_t>(3 * P, 0);

    void SetUp() override {
        file[16] = P >> 8, file[17] = P & 0xFF, file[18] = 2;
        file[P] = 0x0D;  // page 1: a table leaf whose cells were all freed
        file[2 * P] = 0x0D;
    }
    void place(std::uint64_t at, const std::vector<std::uint8_t>& bytes) { std::copy(bytes.begin(), bytes.end(), file.begin() + static_cast<std::ptrdiff_t>(at)); }
    void scan() {
        carved.clear();
        const auto image = carve::PageImage::open(file, "test");
        ASSERT_TRUE(image);
        DelMessageScan(ctx, *image).run();
    }
    const MVMessageNode* withText(const std::string& text) const {
        for (const MessagePtr& m : carved)
            if (textOrEmpty(m->messageContent) == text) return m.get();
        return nullptr;
    }
};

// The newer layout: a message of the first handle (handle_id and is_from_me the
// stored constants, country NULL), a text long enough for a two-byte serial
// type, an attributedBody whose one-byte type is 121-127, and a date in
// nanoseconds that needs all eight bytes; a second message joins a carved
// handle whose row id (200) is a two-byte varint.
TEST_F(DelMessageScanTest, NewerLayoutRecordsAndTheirHandles) {
    ctx.currentNodeIsiOS6Version = true;
    auto first = std::make_shared<MVChatMessageNode>();
    first->rowid = 1, first->phoneValue = std::string("+14155550101");
    ctx.chatMessageArray.push_back(first);

    const std::string longText = "Running ten minutes late, sorry, the train stopped twice before the bridge";
    const std::int64_t march2014 = 1393675200;  // 03-01-2014 12:00 UTC
    const std::int64_t nanos = (march2014 - kEpoch2001) * 1000000000LL + 123456789;
    place(P + 100, freed(cell(7, newerMessage(longText, Int{1, 0}, std::monostate{}, nanos, 8, true, 56))));
    place(P + 500, freed(cell(8, newerMessage("See you there", Int{200, 2}, std::string("us"), march2014 - kEpoch2001, 4, false, 0))));
    place(2 * P + 300, cell(200, {std::monostate{}, std::string("+12125550199"), std::string("us"), std::string("SMS"), std::monostate{}}));
    scan();

    ASSERT_EQ(carved.size(), 2u);
    const MVMessageNode* a = withText(longText);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(textOrEmpty(displayDate(a->messageDate)), "03-01-2014 12:00");
    EXPECT_EQ(textOrEmpty(a->messagePhone) + "|" + textOrEmpty(a->messageType), "+14155550101|Send");
    const MVMessageNode* b = withText("See you there");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->handle_id, 200);
    EXPECT_EQ(textOrEmpty(displayDate(b->messageDate)) + "|" + textOrEmpty(b->messagePhone) + "|" + textOrEmpty(b->messageType),
              "03-01-2014 12:00|+12125550199|Received");
    EXPECT_EQ(ctx.chatMessageArray.size(), 2u);  // the carved handle joins the live one
}

// A freed handle cell loses its row id with the cell header: nothing then
// tells which of the messages naming no known handle it belongs to, so those
// keep an unknown address rather than a neighbour's. A record dated before
// 2007 is not carved.
TEST_F(DelMessageScanTest, MessagesOfHandlesThatLostTheirIdsKeepAnUnknownAddress) {
    ctx.currentNodeIsiOS6Version = true;
    auto other = newerMessage("Another thread", Int{5, 1}, std::string("us"), 415000100, 4, false, 0);
    other[1] = std::string("0B1C2D3E-4F50-4617-8899-AABBCCDDEEFF");
    place(P + 300, freed(cell(9, newerMessage("Gone with the thread", Int{4, 1}, std::string("us"), 415000000, 4, false, 0))));
    place(P + 600, freed(cell(10, other)));
    // Bytes that read as a message from 2005: no phone of this layout wrote it.
    place(P + 800, freed(cell(11, newerMessage("Too early", Int{4, 1}, std::string("us"), 150000000, 4, false, 0))));
    place(2 * P + 300, freed(cell(4, {std::monostate{}, std::string("+17025550123"), std::string("us"), std::string("SMS"), std::monostate{}})));
    place(2 * P + 400, freed(cell(5, {std::monostate{}, std::string("+17025550999"), std::string("us"), std::string("SMS"), std::monostate{}})));
    scan();
    ASSERT_EQ(carved.size(), 2u);
    for (const MessagePtr& m : carved) EXPECT_EQ(textOrEmpty(m->messagePhone), "") << *m->messageContent;
}

// A row a table leaf lists is live, and its older copy elsewhere (an update
// that grew the row moved it) has its guid: neither is a deleted message,
// while a row of the same text with a guid of its own is. A leaf on the free
// list still shows its last cells, and those are deleted rows.
TEST_F(DelMessageScanTest, OlderCopiesOfALiveRowAreNotDeletedMessages) {
    ctx.currentNodeIsiOS6Version = true;
    auto listAt = [&](std::uint64_t page, std::uint64_t at) {
        file[page * P + 4] = 1;  // one cell
        file[page * P + 8] = static_cast<std::uint8_t>(at >> 8), file[page * P + 9] = static_cast<std::uint8_t>(at);
        file[page * P + 5] = file[page * P + 8], file[page * P + 6] = file[page * P + 9];
    };
    auto own = newerMessage("Still here", Int{1, 0}, std::monostate{}, 415000500, 4, false, 0);
    own[1] = std::string("0B1C2D3E-4F50-4617-8899-AABBCCDDEEFF");
    place(2 * P + 600, cell(12, newerMessage("Still here", Int{1, 0}, std::monostate{}, 415000000, 4, false, 0)));
    listAt(2, 600);
    place(P + 100, freed(cell(12, newerMessage("Still here", Int{1, 0}, std::monostate{}, 415000000, 4, false, 0))));
    place(P + 500, freed(cell(13, own)));
    scan();
    ASSERT_EQ(carved.size(), 1u);
    EXPECT_EQ(carved[0]->messageDate, Timestamp(std::chrono::seconds(415000500 + 978307200)));  // before 1990 as from 1970

    // Page 2 goes to the free list (page 3 its trunk): its listed row is a deleted one.
    file.resize(4 * P, 0);
    file[35] = 4, file[39] = 2;  // first trunk page, free pages
    file[3 * P + 7] = 1, file[3 * P + 11] = 3;  // one leaf: page 3 in SQLite's numbering
    scan();
    EXPECT_EQ(carved.size(), 2u);
}

// The older layouts: an SMS row of 17 columns (iOS 4, a two-byte text type),
// and an iOS 5 iMessage row of 33 whose address is madrid_handle; the
// iMessage is carved only from a write-ahead-log file, as the layouts choose.
TEST_F(DelMessageScanTest, OlderLayoutSmsAndIMessageRecords) {
    const std::string longText = "Happy birthday! Hope you have a wonderful day with the family";
    place(P + 100, freed(cell(3, olderMessage(std::string("+14155550101"), 1293883200, longText, 3, false))));
    place(P + 400, freed(cell(5, olderMessage(std::monostate{}, 347889600, "Lunch at noon?", 0, true,
                                             "friend@icloud.example.com", 36869))));
    scan();
    ASSERT_EQ(carved.size(), 2u);
    const MVMessageNode* sms = withText(longText);
    ASSERT_NE(sms, nullptr);
    EXPECT_EQ(textOrEmpty(sms->messagePhone) + "|" + textOrEmpty(displayDate(sms->messageDate)) + "|" + textOrEmpty(sms->messageType),
              "+14155550101|01-01-2011 12:00|Send");
    const MVMessageNode* imsg = withText("Lunch at noon?");
    ASSERT_NE(imsg, nullptr);
    EXPECT_EQ(textOrEmpty(imsg->messagePhone) + "|" + textOrEmpty(displayDate(imsg->messageDate)) + "|" + textOrEmpty(imsg->messageType),
              "friend@icloud.example.com|01-10-2012 12:00|Received");
    EXPECT_EQ(imsg->bImessage, 1);

    file[18] = 1;
    scan();
    ASSERT_EQ(carved.size(), 1u);
    EXPECT_EQ(textOrEmpty(carved[0]->messageContent), longText);
}

}  // namespace
}  // namespace salvor::test

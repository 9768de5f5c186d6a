// Dates, text repair and the phone-number name lookup.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "core/contact_index.h"
#include "core/helpers.h"
#include "engine/result_store.h"

namespace salvor {
namespace {

constexpr std::int64_t k2001 = 978307200;

// Seconds since 1970 of a UTC calendar time, computed independently of the code under test.
std::int64_t utc(int y, int mo, int d, int h = 0, int mi = 0) {
    std::tm tm{};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    return static_cast<std::int64_t>(timegm(&tm));
}

std::string date(std::int64_t v, std::uint8_t type) { return dateText(v, type).value_or("<none>"); }

class UtcZone : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
    }
};

TEST_F(UtcZone, DatesAcrossLeapYearsAfter2016The1990RuleAndNanoseconds) {
    // File type 1 counts from 2001: around the leap days of 2004 and 2020, and far past 2016.
    EXPECT_EQ(date(0, 1), "01-01-2001 00:00");
    EXPECT_EQ(date(utc(2004, 2, 29, 12, 30) - k2001, 1), "02-29-2004 12:30");
    EXPECT_EQ(date(utc(2016, 12, 31, 23, 59) - k2001, 1), "12-31-2016 23:59");
    EXPECT_EQ(date(utc(2017, 1, 1) - k2001, 1), "01-01-2017 00:00");
    EXPECT_EQ(date(utc(2020, 2, 29, 8, 5) - k2001, 1), "02-29-2020 08:05");
    // Other file types: a value from 1990 on reads from 1970, a smaller one from 2001.
    EXPECT_EQ(date(utc(2011, 3, 7, 14, 5), 7), "03-07-2011 14:05");
    EXPECT_EQ(date(utc(1990, 1, 1), 0), "01-01-1990 00:00");
    EXPECT_EQ(date(utc(1990, 1, 1) - 1, 0), "12-31-2020 23:59");
    // Nanosecond values are scaled first.
    const std::int64_t secs = utc(2014, 6, 30, 18, 45) - k2001;
    EXPECT_EQ(date(secs * 1000000000LL, 0), "06-30-2014 18:45");
    EXPECT_EQ(date(secs * 1000000000LL, 1), "06-30-2014 18:45");
    EXPECT_EQ(date(secs + 59, 1), "06-30-2014 18:45");
}

TEST_F(UtcZone, LocalTimeZoneIsApplied) {
    setenv("TZ", "America/New_York", 1);
    tzset();
    EXPECT_EQ(date(utc(2013, 7, 1, 12, 0) - k2001, 1), "07-01-2013 08:00");
    setenv("TZ", "UTC", 1);
    tzset();
}

TEST(Helpers, ValuesThatCannotBeBrokenDownGiveNoDate) {
    // Just below the nanosecond threshold a value is still seconds: year 1169 BC or so.
    EXPECT_FALSE(GetDateTime(-99999999999LL, 1).has_value());
    EXPECT_FALSE(GetDateTime(-99999999999LL, 0).has_value());
    EXPECT_EQ(date(99999999999LL, 0).substr(6, 4), "5138");
    auto chars = GetDateTime(0, 1);
    ASSERT_TRUE(chars);
    EXPECT_EQ(chars->size(), 16u);
}

// Invalid UTF-8 costs one U+FFFD per maximal subpart, never the whole text.
TEST(Helpers, Utf8TextKeepsWhatIsValid) {
    const std::string R = "\xEF\xBF\xBD";
    const struct {
        const char* in;
        std::string out;
    } cases[] = {
        {"Zo\xC3\xAB \xF0\x9F\x98\x80", "Zo\xC3\xAB \xF0\x9F\x98\x80"},
        {"bad \xC3", "bad " + R},                   // cut short at the end
        {"caf\xE9 au lait", "caf" + R + " au lait"},  // a Latin-1 byte
        {"\xC0\xAF", R + R},                         // overlong "/"
        {"\xED\xA0\x80", R + R + R},                 // surrogate
        {"\xF4\x90\x80\x80", R + R + R + R},         // past U+10FFFF
        // The example of the Unicode standard: F1 80 80 and E1 80 are cut-short
        // sequences (one replacement each), C2 is cut short by "b".
        {"a\xF1\x80\x80\xE1\x80\xC2" "b\x80" "c\x80\xBF" "d", "a" + R + R + R + "b" + R + "c" + R + R + "d"},
    };
    for (const auto& c : cases) EXPECT_EQ(GetStringFormChar(c.in), c.out) << c.in;
    EXPECT_EQ(GetStringFormChar(nullptr), "");

    char32_t buf[4];
    EXPECT_EQ(Char2Unicode("abcdef", buf, 4), 3u);
    EXPECT_EQ(buf[3], U'\0');
    EXPECT_EQ(Char2Unicode("a\xFF" "b", buf, 4), 3u);
    EXPECT_EQ(std::u32string(buf), U"a\uFFFDb");
}

TEST(Helpers, MediaTypesByExtensionIgnoreCaseAndKeepTheFirstPosition) {
    EXPECT_EQ(GetImageType("jpg"), GetImageType("JPG"));
    EXPECT_GE(GetImageType("Jpeg"), 0);
    EXPECT_EQ(GetImageType("CDR"), 14);  // listed twice: the first position answers
    EXPECT_GE(GetViedoType("mov"), 0);
    EXPECT_GE(GetAudioType("m4a"), 0);
    for (const char* none : {"", "JPGX", "JP", "PICTCLIPPINGS", "mov\xff", "MOV "}) {
        EXPECT_LT(GetImageType(none), 0) << none;
        EXPECT_LT(GetViedoType(none), 0) << none;
        EXPECT_LT(GetAudioType(none), 0) << none;
    }
    EXPECT_LT(GetImageType(nullptr), 0);
}

TEST(Helpers, NameLookupByPhoneNumber) {
    auto noPhone = std::make_shared<MVContactNode>();
    noPhone->contactName = "Nobody";
    auto ann = std::make_shared<MVContactNode>();
    ann->contactName = "Ann";
    ann->contactPhone = " (555) 123-4567 555-0000";
    ann->imageData = std::make_shared<ByteBuffer>(ByteBuffer{1, 2, 3});
    auto bob = std::make_shared<MVContactNode>();
    bob->contactName = "Bob";
    bob->contactPhone = " 7654321";
    const std::vector<ContactPtr> contacts{noPhone, ann, bob};
    const ContactIndex index(contacts);

    EXPECT_EQ(index.getNameByPhoneNumber(std::string("555-123-4567")), "Ann");
    EXPECT_EQ(index.getNameByPhoneNumber(std::string("+1 (555) 123-4567")), "Ann");
    EXPECT_FALSE(index.getNameByPhoneNumber(std::string("999")).has_value());
    EXPECT_FALSE(index.getNameByPhoneNumber(std::string("")).has_value());
    // A seven-digit number gives a four-character key: found by the plain lookup only.
    EXPECT_EQ(index.getNameByPhoneNumber(std::string("7654321")), "Bob");
    const ContactMatch none = index.getNameByPhoneNumber(std::string("7654321"), nullptr);
    EXPECT_FALSE(none.found || none.name || none.picture);
    // The picture lookup answers with the matching contact's picture.
    const ContactMatch match = index.getNameByPhoneNumber(std::string("555-123-4567"), nullptr);
    EXPECT_EQ(match.name, "Ann");
    ASSERT_TRUE(match.picture);
    EXPECT_EQ(match.picture->size(), 3u);
}

// Each typed line of a note is a division; an empty one is "<div><br></div>".
TEST(Helpers, NoteMarkupBecomesLines) {
    EXPECT_EQ(cleanNoteContent("Milk<div>eggs</div>"), "Milk\neggs");
    EXPECT_EQ(cleanNoteContent("<div>Milk</div><div>eggs</div>"), "Milk\neggs");
    EXPECT_EQ(cleanNoteContent("Title<div><br></div><div>one</div><div>two<br></div>"), "Title\n\none\ntwo");
    // Every spelling of a break; a break in a line ends it, a second one leaves a blank line.
    EXPECT_EQ(cleanNoteContent("a<br>b<BR/>c<br />d</br>e<Br>"), "a\nb\nc\nd\ne");
    EXPECT_EQ(cleanNoteContent("a<br><br>b"), "a\n\nb");
    // Runs of empty lines collapse to one blank line; none is added at either end.
    EXPECT_EQ(cleanNoteContent("<br><div><br></div>a<div><br></div><div><br></div><br><br>b<br><br>"), "a\n\nb");
    EXPECT_EQ(cleanNoteContent("<DIV>x&nbsp;y</Div>"), "x y");
    EXPECT_EQ(cleanNoteContent("<div></div><br>"), "");
    // Other markup, text that only looks like a tag and a body cut inside a tag stay as they are.
    EXPECT_EQ(cleanNoteContent("<b>Ask</b> 3 <brick> <divx> <br"), "<b>Ask</b> 3 <brick> <divx> <br");
    // Line ends typed into the text are the text's own.
    EXPECT_EQ(cleanNoteContent("a\n\n\nb"), "a\n\n\nb");
}

}  // namespace
}  // namespace salvor

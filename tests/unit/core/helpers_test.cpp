// Dates, text repair and the phone-number name lookup.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

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

std::string date(std::int64_t v, std::uint8_t type) { return displayDate(timestampOf(v, type)).value_or("<none>"); }
std::int64_t unixOf(Timestamp t) { return t.time_since_epoch().count(); }

// Sets the process's zone for one scope and puts the one before back.
class ZoneScope {
public:
    explicit ZoneScope(const char* zone) {
        if (const char* was = std::getenv("TZ")) before_ = was;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ZoneScope() {
        if (before_) setenv("TZ", before_->c_str(), 1);
        else unsetenv("TZ");
        tzset();
    }

private:
    std::optional<std::string> before_;
};

class UtcZone : public ::testing::Test {
protected:
    ZoneScope zone{"UTC"};
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

// The records keep the moment to the second; only the display drops seconds.
TEST(Helpers, StoredValuesBecomeMomentsToTheSecond) {
    EXPECT_EQ(unixOf(timestampOf(0, 1)), k2001);
    EXPECT_EQ(unixOf(timestampOf(59, 1)), k2001 + 59);
    EXPECT_EQ(unixOf(timestampOf(-1, 1)), k2001 - 1);
    // Nanoseconds lose their fraction towards zero, on both sides of 2001.
    EXPECT_EQ(unixOf(timestampOf(400000000LL * 1000000000LL + 999999999LL, 1)), k2001 + 400000000LL);
    EXPECT_EQ(unixOf(timestampOf(-400000000LL * 1000000000LL - 999999999LL, 1)), k2001 - 400000000LL);
    // Just under the threshold a value is still seconds.
    EXPECT_EQ(unixOf(timestampOf(99999999999LL, 1)), k2001 + 99999999999LL);
    // The 1990 rule for any other file type, at its edge and for negative values.
    EXPECT_EQ(unixOf(timestampOf(utc(1990, 1, 1), 0)), utc(1990, 1, 1));
    EXPECT_EQ(unixOf(timestampOf(utc(1990, 1, 1) - 1, 3)), utc(1990, 1, 1) - 1 + k2001);
    EXPECT_EQ(unixOf(timestampOf(-86400, 0)), k2001 - 86400);  // 1969 is before 1990 too
    EXPECT_EQ(unixOf(timestampOf(3000000000LL, 0)), 3000000000LL);
    // Extremes never overflow: a nanosecond count of INT64 scale is a few
    // hundred years either side of 2001.
    EXPECT_EQ(unixOf(timestampOf(INT64_MAX, 0)), INT64_MAX / 1000000000LL);
    EXPECT_EQ(unixOf(timestampOf(INT64_MIN, 1)), INT64_MIN / 1000000000LL + k2001);
}

// The moment a value stands for does not depend on the zone of the machine
// that read it; only its display does.
TEST(Helpers, MomentsAreZoneFreeAndShownInLocalTime) {
    const std::int64_t newYear1990 = utc(1990, 1, 1, 1, 0);  // 1989 still, in New York
    const std::int64_t july2013 = utc(2013, 7, 1, 12, 0) - k2001;
    Timestamp readInUtc, summer;
    {
        ZoneScope zone("UTC");
        readInUtc = timestampOf(newYear1990, 0);
        summer = timestampOf(july2013, 1);
    }
    ZoneScope zone("America/New_York");
    EXPECT_EQ(timestampOf(newYear1990, 0), readInUtc);
    EXPECT_EQ(unixOf(readInUtc), newYear1990);
    EXPECT_EQ(timestampOf(july2013, 1), summer);
    EXPECT_EQ(displayDate(summer), "07-01-2013 08:00");
    EXPECT_EQ(displayDate(readInUtc), "12-31-1989 20:00");
    EXPECT_EQ(displayDate(Timestamp(std::chrono::seconds(utc(2013, 12, 1, 12, 0)))), "12-01-2013 07:00");
}

TEST(Helpers, DateFieldsTellNoDateFromOneThatCannotBeShown) {
    ZoneScope zone("UTC");
    // Far before the year 1 (just under the nanosecond threshold, so seconds).
    EXPECT_FALSE(displayDate(timestampOf(-99999999999LL, 1)));
    EXPECT_FALSE(displayDate(timestampOf(-99999999999LL, 0)));
    EXPECT_FALSE(shownTimestampOf(-99999999999LL, 0));
    EXPECT_EQ(shownTimestampOf(0, 1), timestampOf(0, 1));
    EXPECT_EQ(date(99999999999LL, 0).substr(6, 4), "5138");
    EXPECT_EQ(displayDate(Timestamp(std::chrono::seconds(utc(9999, 12, 31, 23, 59)))), "12-31-9999 23:59");
    EXPECT_FALSE(displayDate(Timestamp(std::chrono::seconds(utc(9999, 12, 31, 23, 59) + 60))));
    // A field without a date shows empty; one holding an unreadable date shows none.
    EXPECT_EQ(displayDate(std::optional<Timestamp>()), "");
    EXPECT_FALSE(displayDate(std::optional<Timestamp>(kUnreadableDate)));
    // The minute a date lists under matches its text without making it.
    EXPECT_FALSE(listedMinute(std::nullopt));
    EXPECT_FALSE(listedMinute(kUnreadableDate));
    EXPECT_FALSE(listedMinute(timestampOf(-99999999999LL, 0)));
    EXPECT_EQ(listedMinute(timestampOf(60, 1)), listedMinute(timestampOf(119, 1)));
    EXPECT_NE(listedMinute(timestampOf(59, 1)), listedMinute(timestampOf(60, 1)));
    EXPECT_EQ(listedMinute(timestampOf(-1, 1)), (k2001 - 60) / 60);  // minutes round down before 2001 too
    const Timestamp lastShown(std::chrono::seconds(utc(9999, 12, 31, 23, 59)));
    EXPECT_TRUE(listedMinute(lastShown));
    EXPECT_FALSE(listedMinute(lastShown + std::chrono::minutes(1)));
}

TEST(Helpers, SizesAndCallLengthsAsListed) {
    EXPECT_EQ(displaySize(0), "0.00B");
    EXPECT_EQ(displaySize(999), "999.00B");
    EXPECT_EQ(displaySize(1000), "1.00K");
    EXPECT_EQ(displaySize(1234567), "1.23M");
    EXPECT_EQ(displaySize(5000000000000ULL), "5.00T");
    MVCallHistoryNode call;
    call.callType = "Incoming", call.callTime = 0;
    EXPECT_EQ(displayCallDuration(call), "Missed");
    call.callType = "Outgoing";
    EXPECT_EQ(displayCallDuration(call), "Cancelled");
    call.callTime = 61;
    EXPECT_EQ(displayCallDuration(call), "1 minute");
    call.callTime = 7260;
    EXPECT_EQ(displayCallDuration(call), "2 hours");
    // The newer logs mark an unanswered incoming call, however long it rang.
    call.callType = "Incoming", call.callTime = 25, call.bUnanswered = 1;
    EXPECT_EQ(displayCallDuration(call), "Missed");
    call.bUnanswered = 0;
    EXPECT_EQ(displayCallDuration(call), "25 seconds");
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

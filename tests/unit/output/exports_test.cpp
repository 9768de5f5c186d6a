// The spreadsheets, the calendar file and the index page as outside readers
// see them: Python's csv module, python3-icalendar, and a link walker that
// follows every href and src from the destination as a browser would.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "output/csv_export.h"
#include "output/export_values.h"
#include "output/ics_export.h"
#include "output/recovery_run.h"
#include "output_test_util.h"
#include "support/readers.h"
#include "support/support.h"

namespace salvor::test_output {
namespace {

using nlohmann::json;

const std::string kBadUtf8 = "caf\xC3";  // a character cut short

template <class T>
std::shared_ptr<T> ticked(std::shared_ptr<T> r) {
    r->bSelected = 1;
    return r;
}

RecoveryReport run(const RecoverySource& source, const fs::path& dest) { return recoverFiles(source, dest.string()); }

ExportOptions only(bool classic, bool ics, bool csv, bool html) {
    ExportOptions o;
    o.formats = {classic, ics, csv, false, html};
    return o;
}

TEST(ExportFormats, ListsAreReadAsTheCommandTakesThem) {
    std::string why;
    EXPECT_EQ(parseExportFormats("classic", why), (ExportFormats{}));
    EXPECT_EQ(parseExportFormats("csv, ics,csv", why), (ExportFormats{false, true, true, false, false}));
    EXPECT_EQ(parseExportFormats("all", why), (ExportFormats{true, true, true, true, true}));
    EXPECT_EQ(exportFormatsText(*parseExportFormats("html,pdf,classic", why)), "classic,pdf,html");
    EXPECT_FALSE(parseExportFormats("csv,,ics", why));
    EXPECT_FALSE(parseExportFormats("xlsx", why));
    EXPECT_NE(why.find("xlsx"), std::string::npos);
}

// A record's date as its list shows it; empty for none.
std::optional<Timestamp> at(const std::string& listed) {
    return listed.empty() ? std::nullopt : std::optional<Timestamp>(test::dateAt(listed));
}

TEST(ExportValues, TimePointsAreWrittenInUtcAndLocalTimeAndDaysAreSeen) {
    // The tests run in UTC, so local and universal time agree.
    const auto t = *at("03-07-2024 09:05");
    EXPECT_EQ(output::isoUtc(t), "2024-03-07T09:05:00Z");
    EXPECT_EQ(output::localStamp(t), "2024-03-07 09:05");
    // A date that cannot be shown is no date for an export either.
    MVMessageNode unreadable;
    unreadable.messageDate = Timestamp::min();
    EXPECT_FALSE(output::messageTime(unreadable));

    MVCalendarNode day;
    day.startDate = at("05-01-2024 00:00"), day.endDate = at("05-02-2024 00:00");
    EXPECT_TRUE(output::eventAllDay(day));
    day.endDate = at("05-03-2024 23:59");
    EXPECT_TRUE(output::eventAllDay(day));
    day.endDate = at("05-01-2024 10:00");
    EXPECT_FALSE(output::eventAllDay(day));
    day.startDate = at("05-01-2024 08:00"), day.endDate = at("05-02-2024 00:00");
    EXPECT_FALSE(output::eventAllDay(day));
}

TEST(CsvExport, CellsAreQuotedAndMadeSafeForSpreadsheets) {
    EXPECT_EQ(output::csvField("plain"), "plain");
    EXPECT_EQ(output::csvField("a,b"), "\"a,b\"");
    EXPECT_EQ(output::csvField("say \"hi\""), "\"say \"\"hi\"\"\"");
    EXPECT_EQ(output::csvField("two\nlines"), "\"two\nlines\"");
    EXPECT_EQ(output::csvField("=1+1"), "'=1+1");
    EXPECT_EQ(output::csvField("+1 555 0100"), "'+1 555 0100");
    EXPECT_EQ(output::csvField("-5"), "'-5");
    EXPECT_EQ(output::csvField("@SUM(A1)"), "'@SUM(A1)");
    EXPECT_EQ(output::csvField("=a,b"), "\"'=a,b\"");
    EXPECT_EQ(output::csvField("a=b"), "a=b");
    EXPECT_EQ(output::csvField(kBadUtf8), "caf\xEF\xBF\xBD");
}

// A selection with hostile values in every category a spreadsheet is made for.
RecoverySource hostileSelection() {
    RecoverySource s;
    auto c = ticked(std::make_shared<MVContactNode>());
    c->contactName = "O'Neil, Ann \"Annie\"";
    c->contactPhoneValues = {"+1 312 555 0100", "555 0199"};
    c->contactEmailValues = {"ann@example.org"};
    c->contactNote = "=HYPERLINK(\"http://x\")\nsecond line";
    c->contactCompany = kBadUtf8;
    s.contactArray.push_back(c);
    auto unticked = std::make_shared<MVContactNode>();
    unticked->contactName = "Not chosen";
    s.contactArray.push_back(unticked);
    auto deletedContact = ticked(std::make_shared<MVContactNode>());
    deletedContact->contactName = "Zoë";
    deletedContact->bDeleted = 1;
    s.contactArray.push_back(deletedContact);

    auto conv = ticked(std::make_shared<MVMessageTreeNode>());
    conv->messageTreeNodeName = "Bob & Co";
    conv->messageTreeNodeAdress = "+15550100";
    for (const auto& [text, type, date] : std::vector<std::tuple<std::string, std::string, std::string>>{
             {"Hello, world", "Received", "01-02-2013 10:00"},
             {"@everyone \"quoted\"\r\nnext", "Send", "01-02-2013 10:05"},
             {"-3 degrees " + kBadUtf8, "Received", ""}}) {
        auto m = std::make_shared<MVMessageNode>();
        m->messageContent = text, m->messageType = type, m->messageDate = at(date);
        m->messagePhone = "+15550100", m->messageName = "Bob";
        conv->MessageNodeArray.push_back(m);
    }
    conv->MessageNodeArray.back()->bDeleted = 1;
    s.messageTreeArray.push_back(conv);

    auto call = ticked(std::make_shared<MVCallHistoryNode>());
    call->callName = "Bob", call->callPhone = "+15550100", call->callDate = at("12-31-2012 23:59");
    call->callTime = 75, call->callType = "Incoming";
    s.callHistoryArray.push_back(call);
    auto note = ticked(std::make_shared<MVNoteNode>());
    note->noteTitle = "List", note->noteContent = "milk,\neggs", note->noteDate = at("06-01-2013 08:00");
    s.noteArray.push_back(note);
    auto mark = ticked(std::make_shared<MVBookMarkNode>());
    mark->bookMarkTitle = "Search, \"fast\"", mark->bookMarkURL = "https://example.org/?a=1,b=2";
    s.bookMarkArray.push_back(mark);
    auto event = ticked(std::make_shared<MVCalendarNode>());
    event->calTitle = "Lunch; with, Bob", event->startDate = at("03-07-2024 12:00"), event->endDate = at("03-07-2024 13:30");
    s.calendarArray.push_back(event);
    return s;
}

TEST(CsvExport, EveryTickedRecordReadsBackThroughPythonsCsvModule) {
    ScratchDir dir;
    RecoverySource s = hostileSelection();
    s.exports = only(false, false, true, false);
    const RecoveryReport report = run(s, dir.path() / "out");
    ASSERT_TRUE(report.failures.empty()) << report.failures[0].reason;
    const fs::path out = dir.path() / "out";
    // Without the classic format none of the classic files is made.
    EXPECT_FALSE(fs::exists(out / "Contact" / "Contacts.txt"));
    const std::vector<std::string> files = {
        (out / "Contact/Contacts.csv").string(),      (out / "Message/Messages.csv").string(),
        (out / "CallHistory/Call History.csv").string(), (out / "Note/Notes.csv").string(),
        (out / "BookMark/Bookmarks.csv").string(),    (out / "Calendar&Reminder/Calendar.csv").string()};
    const json read = test::readCsv(files);
    ASSERT_TRUE(read.is_object());
    for (const auto& f : files) {
        EXPECT_TRUE(read[f]["ends_crlf"]) << f;
        EXPECT_FALSE(read[f]["bom"]) << f;
        // Every row has as many cells as the header.
        for (const auto& row : read[f]["rows"]) EXPECT_EQ(row.size(), read[f]["rows"][0].size()) << f << row;
    }

    const json contacts = read[files[0]]["rows"];
    ASSERT_EQ(contacts.size(), 3u) << contacts;  // the header and the two ticked contacts
    EXPECT_EQ(contacts[0][0], "Name");
    EXPECT_EQ(contacts[1][0], "O'Neil, Ann \"Annie\"");
    EXPECT_EQ(contacts[1][4], "'+1 312 555 0100; 555 0199");
    EXPECT_EQ(contacts[1][5], "ann@example.org");
    EXPECT_EQ(contacts[1][7], "caf\xEF\xBF\xBD");
    EXPECT_EQ(contacts[1][11], "'=HYPERLINK(\"http://x\")\nsecond line");
    EXPECT_EQ(contacts[1][12], "no");
    EXPECT_EQ(contacts[2][0], "Zoë");
    EXPECT_EQ(contacts[2][12], "yes");

    const json messages = read[files[1]]["rows"];
    ASSERT_EQ(messages.size(), 4u) << messages;
    EXPECT_EQ(messages[0], json({"Date", "Direction", "Address", "Name", "Text", "Attachment", "Conversation", "Deleted"}));
    EXPECT_EQ(messages[1], json({"2013-01-02T10:00:00Z", "received", "'+15550100", "Bob", "Hello, world", "", "Bob & Co", "no"}));
    EXPECT_EQ(messages[2][1], "sent");
    EXPECT_EQ(messages[2][4], "'@everyone \"quoted\"\r\nnext");
    EXPECT_EQ(messages[3][0], "");
    EXPECT_EQ(messages[3][4], "'-3 degrees caf\xEF\xBF\xBD");
    EXPECT_EQ(messages[3][7], "yes");

    EXPECT_EQ(read[files[2]]["rows"][1], json({"2012-12-31T23:59:00Z", "Bob", "'+15550100", "Incoming", "75", "1 minute", "no"}));
    EXPECT_EQ(read[files[3]]["rows"][1][2], "milk,\neggs");
    EXPECT_EQ(read[files[4]]["rows"][1], json({"Search, \"fast\"", "https://example.org/?a=1,b=2", "no"}));
    EXPECT_EQ(read[files[5]]["rows"][1],
              json({"Lunch; with, Bob", "2024-03-07T12:00:00Z", "2024-03-07T13:30:00Z", "", "", "no"}));
}

TEST(CsvExport, AnExistingSpreadsheetIsNeverReplaced) {
    ScratchDir dir;
    const fs::path out = dir.path() / "out";
    fs::create_directories(out / "Contact");
    writeFile((out / "Contact/Contacts.csv").string(), "mine");
    RecoverySource s = hostileSelection();
    s.exports = only(true, false, true, false);
    const RecoveryReport report = run(s, out);
    EXPECT_TRUE(report.failures.empty());
    EXPECT_EQ(readFile((out / "Contact/Contacts.csv").string()), "mine");
    EXPECT_EQ(readFile((out / "Contact/Contacts (2).csv").string()).substr(0, 5), "Name,");
    // The spreadsheet is counted with the folder the classic files opened.
    const RecoveryFolderTally* contact = report.folder("Contact");
    ASSERT_NE(contact, nullptr);
    EXPECT_EQ(std::count(contact->written.begin(), contact->written.end(), "Contact/Contacts (2).csv"), 1);
    EXPECT_EQ(std::count_if(report.folders.begin(), report.folders.end(),
                            [](const RecoveryFolderTally& t) { return t.folder == "Contact"; }),
              1);
}

TEST(IcsExport, LinesAreEscapedAndFoldedWithoutSplittingCharacters) {
    EXPECT_EQ(output::icsEscape("a,b;c\\d\r\ne\nf"), "a\\,b\\;c\\\\d\\ne\\nf");
    std::string longText = "SUMMARY:";
    for (int i = 0; i < 60; ++i) longText += "\xE6\x97\xA5";  // 日, three octets each
    const std::string folded = output::icsFold(longText);
    std::size_t start = 0;
    while (start < folded.size()) {
        const std::size_t end = folded.find("\r\n", start);
        ASSERT_NE(end, std::string::npos);
        EXPECT_LE(end - start, 75u);
        // A line never starts inside a character (a continuation byte after the folding space).
        if (start > 0) {
            ASSERT_EQ(folded[start], ' ');
            EXPECT_NE(static_cast<unsigned char>(folded[start + 1]) & 0xC0, 0x80);
        }
        start = end + 2;
    }
}

RecoverySource calendarSelection() {
    RecoverySource s;
    auto add = [&](const char* title, const std::string& start, const std::string& end, const char* location, const char* note, bool deleted) {
        auto e = ticked(std::make_shared<MVCalendarNode>());
        e->calTitle = title, e->startDate = at(start), e->endDate = at(end);
        e->location = location, e->calNote = note, e->bDeleted = deleted;
        s.calendarArray.push_back(e);
    };
    add("Dentist", "03-07-2024 09:05", "03-07-2024 10:00", "Main St. 5, Springfield", "Bring card; ask \\ about x\nand y",
        false);
    add("Holiday", "08-01-2024 00:00", "08-03-2024 00:00", "", "", false);
    std::string longTitle;
    for (int i = 0; i < 40; ++i) longTitle += "Ünïcødé ";
    add(longTitle.c_str(), "01-15-2024 18:30", "01-15-2024 20:00", "", "", true);
    add("Buy stamps", std::string(), std::string(), "", "", false);  // a reminder without a date
    add("Deleted twin", "02-02-2024 10:00", "02-02-2024 11:00", "", "", true);
    add("Deleted twin", "02-02-2024 10:00", "02-02-2024 11:00", "", "", true);
    // An older calendar names the place by a row of its table of places.
    add("Council", "04-04-2024 18:00", "04-04-2024 19:00", "7", "", false);
    s.exports.calendarPlaces = {{"7", "Town Hall, Room 2"}};
    return s;
}

TEST(IcsExport, CalendarProgramsReadEventsDatesAndRemindersBack) {
    ScratchDir dir;
    RecoverySource s = calendarSelection();
    s.exports.formats = {false, true, true, false, false};
    const RecoveryReport report = run(s, dir.path() / "out");
    ASSERT_TRUE(report.failures.empty());
    const std::string file = (dir.path() / "out/Calendar&Reminder/Calendar.ics").string();
    const json cal = test::readIcs(file);
    ASSERT_TRUE(cal.is_object()) << readFile(file);
    EXPECT_EQ(cal["version"], "2.0");
    EXPECT_FALSE(cal["prodid"].get<std::string>().empty());
    EXPECT_LE(cal["longest_line"].get<int>(), 75);
    EXPECT_EQ(cal["bare_lf"], 0);
    EXPECT_TRUE(cal["ends_crlf"]);
    const json& c = cal["components"];
    ASSERT_EQ(c.size(), 7u) << c;

    EXPECT_EQ(c[0]["kind"], "VEVENT");
    EXPECT_EQ(c[0]["summary"], "Dentist");
    EXPECT_EQ(c[0]["location"], "Main St. 5, Springfield");
    EXPECT_EQ(c[0]["description"], "Bring card; ask \\ about x\nand y");
    EXPECT_EQ(c[0]["dtstart"]["iso"], "2024-03-07T09:05:00+00:00");
    EXPECT_TRUE(c[0]["dtstart"]["utc"]);
    EXPECT_EQ(c[0]["dtend"]["iso"], "2024-03-07T10:00:00+00:00");
    EXPECT_TRUE(c[0]["categories"].is_null());
    EXPECT_FALSE(c[0]["dtstamp"].is_null());

    // All day: dates only, the end the day after the last one.
    EXPECT_TRUE(c[1]["dtstart"]["date"]);
    EXPECT_EQ(c[1]["dtstart"]["iso"], "2024-08-01");
    EXPECT_EQ(c[1]["dtend"]["iso"], "2024-08-03");

    // The long summary was folded and comes back whole.
    std::string longTitle;
    for (int i = 0; i < 40; ++i) longTitle += "Ünïcødé ";
    EXPECT_EQ(c[2]["summary"], longTitle);
    EXPECT_EQ(c[2]["categories"], json({"Recovered as deleted"}));
    EXPECT_EQ(c[2]["x-salvor-recovered"], "DELETED");

    EXPECT_EQ(c[6]["location"], "Town Hall, Room 2");
    const json sheet = test::readCsv({(dir.path() / "out/Calendar&Reminder/Calendar.csv").string()});
    EXPECT_EQ(sheet.begin().value()["rows"][7][3], "Town Hall, Room 2");

    EXPECT_EQ(c[3]["kind"], "VTODO");
    EXPECT_EQ(c[3]["summary"], "Buy stamps");
    EXPECT_TRUE(c[3]["dtstart"].is_null());

    // Every identifier is distinct, twins included, and the same in a second run.
    std::set<std::string> uids;
    for (const auto& e : c) uids.insert(e["uid"].get<std::string>());
    EXPECT_EQ(uids.size(), c.size());
    run(s, dir.path() / "again");
    const json again = test::readIcs((dir.path() / "again/Calendar&Reminder/Calendar.ics").string());
    ASSERT_EQ(again["components"].size(), c.size());
    for (std::size_t i = 0; i < c.size(); ++i) EXPECT_EQ(again["components"][i]["uid"], c[i]["uid"]);
    // A changed event is another event.
    MVCalendarNode moved = *s.calendarArray[0];
    moved.startDate = at("03-08-2024 09:05");
    EXPECT_NE(output::eventUid(moved), output::eventUid(*s.calendarArray[0]));
}

TEST(IndexPage, EveryLinkLeadsToAFileOfTheRecovery) {
    ScratchDir dir;
    RecoverySource s = hostileSelection();
    s.device = std::make_shared<MVIOSDeviceNode>();
    s.device->strDeviceName = "Ann's iPhone #2 100% <b>";
    // Names with every character a link must encode.
    for (const char* name : {"A&B #1 100%.vcf", "Zoë Ä ?x=1", "semi;colon+plus"}) {
        auto c = ticked(std::make_shared<MVContactNode>());
        c->contactName = name;
        s.contactArray.push_back(c);
    }
    // A photo: the copy is shown as a thumbnail of its own size.
    const fs::path photo = dir.path() / "src.png";
    const unsigned char png[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n', 0, 0, 0, 13, 'I', 'H', 'D', 'R',
                                 0, 0, 1, 0x40, 0, 0, 0, 0xF0, 8, 2, 0, 0, 0};
    writeFile(photo.string(), std::string(reinterpret_cast<const char*>(png), sizeof png));
    auto p = ticked(std::make_shared<MVPhotoAndVideoNode>());
    p->fileNodeName = "IMG #1 & 2%.PNG", p->filePath = photo.string(), p->fileSizeNumber = sizeof png;
    s.photoAndVideoArray.push_back(p);
    auto gone = ticked(std::make_shared<MVPhotoAndVideoNode>());
    gone->fileNodeName = "missing.jpg", gone->filePath = (dir.path() / "nothing").string(), gone->fileSizeNumber = 9;
    s.photoAndVideoArray.push_back(gone);
    s.exports = only(true, true, true, true);

    const fs::path out = dir.path() / "out";
    const RecoveryReport report = run(s, out);
    const std::string page = readFile((out / "index.html").string());
    const json links = test::checkLinks((out / "index.html").string());
    ASSERT_TRUE(links.is_object()) << page;
    EXPECT_EQ(links["missing"], json::array()) << page;
    EXPECT_EQ(links["outside"], json::array());
    EXPECT_EQ(links["absolute"], json::array());
    EXPECT_EQ(links["scripts"], 0);

    // Every file the run wrote is linked from the page.
    std::set<std::string> linked;
    for (const auto& r : links["resolved"]) linked.insert(r.get<std::string>());
    std::size_t files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(out)) {
        if (!entry.is_regular_file() || entry.path().filename() == "index.html") continue;
        ++files;
        EXPECT_TRUE(linked.count(fs::relative(entry.path(), out).string())) << entry.path();
    }
    EXPECT_GE(files, 10u);
    ASSERT_EQ(links["images"].size(), 1u);
    EXPECT_EQ(links["images"][0], "Photo%26Video/IMG%20%231%20%26%202%25.PNG");
    EXPECT_NE(page.find("width=\"160\" height=\"120\""), std::string::npos);
    // The device's name is text, not markup; the photo the backup lacks is listed.
    EXPECT_NE(page.find("Ann&#39;s iPhone #2 100% &lt;b&gt;"), std::string::npos) << page;
    EXPECT_NE(page.find("Not in the backup (1)"), std::string::npos);
    EXPECT_NE(page.find("<td>Contacts</td><td>4</td><td>1</td>"), std::string::npos);
}

TEST(Exports, ThePrintableFormatWithoutAWriterIsReportedNotSkipped) {
    ScratchDir dir;
    RecoverySource s = hostileSelection();
    s.exports.formats = {false, false, false, true, false};
    const RecoveryReport report = run(s, dir.path() / "out");
    ASSERT_EQ(report.failures.size(), 1u);
    EXPECT_NE(report.failures[0].item.find("Message/Bob & Co.pdf"), std::string::npos);
    EXPECT_FALSE(report.succeeded());
}

}  // namespace
}  // namespace salvor::test_output

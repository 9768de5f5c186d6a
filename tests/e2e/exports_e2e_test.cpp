// `salvor recover --format` on forged backups of an old and a modern
// generation, deleted records included: every format is written and read back
// by an independent reader, and the classic files stay exactly what a run
// without --format writes.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>

#include "forge/forge.h"
#include "support/readers.h"
#include "support/support.h"

namespace salvor::test {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

std::string str(const json& v) { return v.is_string() ? v.get<std::string>() : std::string(); }

// A value as a spreadsheet cell shows it: formula starts behind a quote.
std::string cell(std::string v) {
    if (!v.empty() && (v[0] == '=' || v[0] == '+' || v[0] == '-' || v[0] == '@')) v.insert(0, 1, '\'');
    return v;
}

std::string withoutObjectSign(std::string text) {
    for (std::size_t at; (at = text.find("\xEF\xBF\xBC")) != std::string::npos;) text.erase(at, 3);
    return text;
}

// Text without white space (pdftotext breaks lines where the layout did)
// and without emoji, which the document draws as pictures over em spaces.
std::string squeezed(const std::string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size();) {
        const auto b = static_cast<unsigned char>(s[i]);
        const std::size_t n = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
        const std::string ch = s.substr(i, n);
        i += n;
        if (n == 1 && std::isspace(b)) continue;
        if (n == 4) continue;  // beyond the basic plane: emoji
        if (n == 3) {
            const unsigned cp = (b & 0x0F) << 12 | (static_cast<unsigned char>(ch[1]) & 0x3F) << 6 |
                                (static_cast<unsigned char>(ch.size() > 2 ? ch[2] : 0) & 0x3F);
            if ((cp >= 0x2600 && cp <= 0x27BF) || cp == 0xFE0F || cp == 0x200D || cp == 0x20E3 || cp == 0x2003) continue;
        }
        out += ch;
    }
    return out;
}

// Relative path → SHA-1 of every regular file below `dir`.
std::map<std::string, std::string> contents(const std::string& dir) {
    std::map<std::string, std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        if (e.is_regular_file()) out[fs::relative(e.path(), dir).string()] = sha1Hex(readBytes(e.path().string()));
    return out;
}

class RecoverFormats : public ::testing::TestWithParam<std::string> {};

TEST_P(RecoverFormats, AllFormatsReadBackAndClassicFilesStayAsTheyWere) {
    TempDir dir;
    const auto b = forgeOne(dir, GetParam(), 31);
    // The modern backup holds hostile entries that cost the scan data (exit
    // status 1); every run of it must still write the same.
    const auto scanned = runSalvor({"scan", b.path, "--json", "--quiet"});
    const json scan = json::parse(scanned.out);
    ASSERT_TRUE(scan.is_object()) << scanned.err;

    const std::string plain = dir / "plain", classic = dir / "classic", all = dir / "all";
    const int plainExit = runSalvor({"recover", b.path, "--all", "--to", plain}).exitCode;
    EXPECT_EQ(plainExit, scanned.exitCode);
    EXPECT_EQ(runSalvor({"recover", b.path, "--all", "--format", "classic", "--to", classic}).exitCode, plainExit);
    const auto r = runSalvor({"recover", b.path, "--all", "--format", "all", "--to", all});
    ASSERT_EQ(r.exitCode, plainExit) << r.out << r.err;
    EXPECT_EQ(r.out.find("could not be written"), std::string::npos) << r.out;

    // classic alone is exactly today's run; every format keeps those files as they are.
    const auto plainFiles = contents(plain), allFiles = contents(all);
    EXPECT_EQ(contents(classic), plainFiles);
    for (const auto& [path, sha] : plainFiles) {
        const auto it = allFiles.find(path);
        ASSERT_NE(it, allFiles.end()) << path;
        EXPECT_EQ(it->second, sha) << path;
    }

    // Calendar: one component per record, in order; deleted ones say so.
    const json& events = scan["calendar"];
    ASSERT_FALSE(events.empty());
    const json ics = readIcs(all + "/Calendar&Reminder/Calendar.ics");
    ASSERT_TRUE(ics.is_object());
    EXPECT_LE(ics["longest_line"].get<int>(), 75);
    ASSERT_EQ(ics["components"].size(), events.size());
    std::size_t deletedEvents = 0;
    for (std::size_t i = 0; i < events.size(); ++i) {
        const json& c = ics["components"][i];
        EXPECT_EQ(str(c["summary"]), str(events[i]["calTitle"])) << i;
        const std::string place = str(events[i]["location"]), written = str(c["location"]);
        if (GetParam() == "ios6") {
            // The record holds a row number; the file gives the place's name.
            if (!place.empty() && place != "0") {
                EXPECT_NE(written, place) << i;
            }
            EXPECT_EQ(written.find_first_not_of("0123456789"), written.empty() ? std::string::npos : 0u) << written;
        } else {
            EXPECT_EQ(written, place) << i;
        }
        const bool deleted = events[i]["bDeleted"] == 1;
        deletedEvents += deleted;
        EXPECT_EQ(c["categories"].is_array() && c["categories"][0] == "Recovered as deleted", deleted) << i;
        if (c["kind"] == "VEVENT" && !c["dtstart"]["date"].get<bool>()) {
            EXPECT_TRUE(c["dtstart"]["utc"]) << i;
        }
    }
    EXPECT_GT(deletedEvents, 0u);

    // Spreadsheets: every record, in order, its text as the reader gets it.
    const std::string contactsCsv = all + "/Contact/Contacts.csv", messagesCsv = all + "/Message/Messages.csv",
                      callsCsv = all + "/CallHistory/Call History.csv", notesCsv = all + "/Note/Notes.csv",
                      marksCsv = all + "/BookMark/Bookmarks.csv", calendarCsv = all + "/Calendar&Reminder/Calendar.csv";
    const json csv = readCsv({contactsCsv, messagesCsv, callsCsv, notesCsv, marksCsv, calendarCsv});
    ASSERT_TRUE(csv.is_object());
    auto rows = [&](const std::string& f) -> const json& { return csv.at(f).at("rows"); };
    ASSERT_EQ(rows(contactsCsv).size(), scan["contacts"].size() + 1);
    for (std::size_t i = 0; i < scan["contacts"].size(); ++i) {
        EXPECT_EQ(rows(contactsCsv)[i + 1][0], cell(str(scan["contacts"][i]["contactName"]))) << i;
        EXPECT_EQ(rows(contactsCsv)[i + 1][12], scan["contacts"][i]["bDeleted"] == 1 ? "yes" : "no") << i;
    }
    std::vector<json> messages;
    for (const auto& c : scan["conversations"])
        for (const auto& m : c["MessageNodeArray"]) messages.push_back(m);
    ASSERT_EQ(rows(messagesCsv).size(), messages.size() + 1);
    std::size_t deletedMessages = 0;
    for (std::size_t i = 0; i < messages.size(); ++i) {
        const json& row = rows(messagesCsv)[i + 1];
        EXPECT_EQ(row[4], cell(withoutObjectSign(str(messages[i]["messageContent"])))) << i;
        EXPECT_EQ(row[1], str(messages[i]["messageType"]) == "Send" ? "sent" : "received") << i;
        deletedMessages += row[7] == "yes";
    }
    EXPECT_GT(deletedMessages, 0u);
    EXPECT_EQ(rows(callsCsv).size(), scan["calls"].size() + 1);
    EXPECT_EQ(rows(notesCsv).size(), scan["notes"].size() + 1);
    EXPECT_EQ(rows(marksCsv).size(), scan["bookmarks"].size() + 1);
    EXPECT_EQ(rows(calendarCsv).size(), events.size() + 1);
    for (std::size_t i = 0; i < scan["notes"].size(); ++i)
        EXPECT_EQ(rows(notesCsv)[i + 1][1], cell(str(scan["notes"][i]["noteTitle"]))) << i;

    // One printable document beside each conversation page, its messages in order.
    std::size_t pages = 0, pdfs = 0;
    for (const auto& e : fs::directory_iterator(all + "/Message")) {
        pages += e.path().extension() == ".html";
        pdfs += e.path().extension() == ".pdf";
        if (e.path().extension() == ".html") {
            fs::path pdf = e.path();
            EXPECT_TRUE(fs::exists(pdf.replace_extension(".pdf"))) << e.path();
        }
    }
    EXPECT_EQ(pdfs, scan["conversations"].size());
    EXPECT_EQ(pages, pdfs);
    // The longest conversation, read back whole.
    const auto longest = std::max_element(scan["conversations"].begin(), scan["conversations"].end(),
                                          [](const json& a, const json& b) {
                                              return a["MessageNodeArray"].size() < b["MessageNodeArray"].size();
                                          });
    std::string longestPdf;
    for (const auto& e : fs::directory_iterator(all + "/Message")) {
        if (e.path().extension() != ".pdf") continue;
        // Read by position, line by line: an emoji is a picture over a wide space.
        const std::string text = pdfBodyText(e.path().string(), true);
        if (text.find("Conversation with") == std::string::npos) ADD_FAILURE() << e.path();
        const std::string flat = squeezed(text);
        std::size_t at = 0;
        bool inOrder = true;
        for (const auto& m : (*longest)["MessageNodeArray"]) {
            const std::string want = squeezed(withoutObjectSign(str(m["messageContent"])));
            const std::size_t found = flat.find(want, at);
            if (found == std::string::npos) {
                inOrder = false;
                break;
            }
            at = found + want.size();
        }
        if (inOrder) longestPdf = e.path().string();
    }
    EXPECT_FALSE(longestPdf.empty()) << "no document holds every message of the longest conversation in order";
    if (!longestPdf.empty()) {
        EXPECT_GE(pdfPages(longestPdf), 1);
    }

    // The index page: every link leads to a file of the recovery, and every
    // list, card, page and document is linked.
    const json links = checkLinks(all + "/index.html");
    ASSERT_TRUE(links.is_object());
    EXPECT_EQ(links["missing"], json::array());
    EXPECT_EQ(links["outside"], json::array());
    EXPECT_EQ(links["absolute"], json::array());
    std::set<std::string> linked;
    for (const auto& l : links["resolved"]) linked.insert(l.get<std::string>());
    for (const auto& [path, sha] : allFiles) {
        const auto dot = path.rfind('.');
        const std::string ext = dot == std::string::npos ? "" : path.substr(dot);
        if ((ext == ".txt" || ext == ".vcf" || ext == ".html" || ext == ".pdf" || ext == ".csv" || ext == ".ics") &&
            path != "index.html") {
            EXPECT_TRUE(linked.count(path)) << path;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Generations, RecoverFormats, ::testing::Values("ios6", "ios17-modern"),
                         [](const auto& info) {
                             std::string name = info.param;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

TEST(RecoverFormatsCommand, UnknownFormatIsBadUsage) {
    TempDir dir;
    const auto r = runSalvor({"recover", dir.path(), "--format", "xlsx", "--to", dir / "out"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("xlsx"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(dir / "out"));
}

}  // namespace
}  // namespace salvor::test

// Recovered documents as outside readers see them: every card goes through an
// independent vCard reader (Debian's python3-vobject), and the conversation
// pages say who wrote each message and name copied attachments as the phone did.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <set>

#include "forge/forge.h"
#include "support/support.h"

namespace salvor::test {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// Reads every card of a folder as an address book would and prints, per card,
// the values it imports. A card that the reader rejects, or that lacks the
// N or FN that vCard 3.0 requires, makes it exit with an error.
constexpr const char* kCardReader = R"(import hashlib, json, os, sys
try:
    import vobject
except ImportError:
    sys.exit("python3-vobject is missing: run scripts/install-deps.sh")
cards = []
for name in sorted(os.listdir(sys.argv[1])):
    if not name.endswith(".vcf"):
        continue
    with open(os.path.join(sys.argv[1], name), encoding="utf-8") as f:
        card = vobject.readOne(f.read())
    card.validate(raiseException=True)
    lines = lambda key: card.contents.get(key, [])
    cards.append({"file": name,
                  "n": [[l.value.family, l.value.given, l.value.additional] for l in lines("n")],
                  "fn": [l.value for l in lines("fn")],
                  "tel": [l.value for l in lines("tel")],
                  "email": [l.value for l in lines("email")],
                  "url": [l.value for l in lines("url")],
                  "photo": [{"type": l.params.get("TYPE", []), "sha1": hashlib.sha1(l.value).hexdigest()}
                            for l in lines("photo")]})
print(json.dumps(cards))
)";

json readCards(const TempDir& dir, const std::string& folder) {
    writeFile(dir / "cards.py", kCardReader);
    const std::string command = "/usr/bin/python3 '" + (dir / "cards.py") + "' '" + folder + "' 2>&1";
    std::FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return nullptr;
    std::string out;
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, pipe)) > 0;) out.append(buf, n);
    const int status = ::pclose(pipe);
    EXPECT_EQ(status, 0) << out;
    return json::parse(out, nullptr, false);
}

std::string text(const json& v) { return v.is_null() ? "(null)" : v.get<std::string>(); }

// Values as the record's text field joins them: each after one space.
std::string joined(const json& values) {
    std::string out;
    for (const auto& v : values) out += " " + v.get<std::string>();
    return out;
}

std::string trimmed(const std::string& s) {
    const auto first = s.find_first_not_of(' ');
    return first == std::string::npos ? std::string() : s.substr(first, s.find_last_not_of(' ') - first + 1);
}

class RecoveredDocuments : public ::testing::TestWithParam<std::string> {};

TEST_P(RecoveredDocuments, CardsImportOneValuePerLine) {
    TempDir dir;
    const auto b = forgeOne(dir, GetParam(), 23);
    const json truth = readJson(b.truthPath);
    const std::string dest = dir / "out";
    ASSERT_EQ(runSalvor({"recover", b.path, "--category", "contacts", "--to", dest}).exitCode, 0);

    const json cards = readCards(dir, dest + "/Contact");
    ASSERT_TRUE(cards.is_array()) << cards;
    std::multiset<std::string> got, want;
    std::size_t manyNumbers = 0;
    for (const auto& c : cards) {
        ASSERT_EQ(c["n"].size(), 1u) << c;
        ASSERT_EQ(c["fn"].size(), 1u) << c;
        // The parts as filed, and the name they make in reading order.
        const json& n = c["n"][0];
        const std::string fn = c["fn"][0];
        const std::string parts = n.dump();
        std::string name;
        for (const std::string part : {n[1], n[2], n[0]})
            if (!part.empty()) name += (name.empty() ? "" : " ") + part;
        EXPECT_FALSE(fn.empty()) << c;
        if (!name.empty()) {
            EXPECT_EQ(fn, name) << c;
        }
        // One number per line: a North American number has 10 digits, 11 with its country code.
        for (const auto& tel : c["tel"]) {
            const std::string t = tel;
            const auto digits = std::count_if(t.begin(), t.end(), [](char ch) { return ch >= '0' && ch <= '9'; });
            EXPECT_TRUE(digits == 10 || digits == 11) << c["file"] << ": " << t;
        }
        for (const auto& email : c["email"]) {
            const std::string e = email;
            EXPECT_EQ(std::count(e.begin(), e.end(), '@'), 1) << c["file"] << ": " << e;
        }
        manyNumbers += c["tel"].size() > 1;
        std::string photo;
        for (const auto& p : c["photo"]) photo += p["type"].dump() + p["sha1"].get<std::string>();
        got.insert(parts + "|" + joined(c["tel"]) + "|" + joined(c["email"]) + "|" + joined(c["url"]) + "|" + photo);
    }
    for (const auto& c : truth["contacts"]["live"]) {
        const std::string photo = c["imageData"].is_null() ? "" : "[\"JPEG\"]" + c["imageData"]["sha1"].get<std::string>();
        const json parts = {c["contactLastName"], c["contactFirstName"], c["contactMiddleName"]};
        want.insert(parts.dump() + "|" + text(c["contactPhone"]) + "|" + text(c["contactEmail"]) + "|" +
                    text(c["contactHomepage"]) + "|" + photo);
    }
    // Every live card, and beside them only deleted persons' cards, and those
    // of deleted numbers whose person is unknown (no name parts).
    std::set<std::string> deletedNames = {json::array({"", "", ""}).dump()};
    for (const auto& c : truth["contacts"]["deleted"]) {
        json parts = json::array();
        for (const char* k : {"Last", "First", "Middle"}) parts.push_back(c[k].is_string() ? c[k] : json(""));
        deletedNames.insert(parts.dump());
    }
    for (const std::string& w : want) {
        auto it = got.find(w);
        ASSERT_NE(it, got.end()) << w;
        got.erase(it);
    }
    for (const std::string& extra : got) EXPECT_TRUE(deletedNames.count(extra.substr(0, extra.find('|')))) << extra;
    EXPECT_GE(manyNumbers, 1u);  // the forge gives its first contact two numbers
}

TEST_P(RecoveredDocuments, PagesNameTheWriterAndAttachmentsKeepTheirNames) {
    TempDir dir;
    const auto b = forgeOne(dir, GetParam(), 23);
    const json truth = readJson(b.truthPath);
    const std::string dest = dir / "out";
    ASSERT_EQ(runSalvor({"recover", b.path, "--category", "messages", "--to", dest}).exitCode, 0);

    std::string pages;
    std::map<std::string, std::string> copies;  // file name → content digest
    for (const auto& e : fs::directory_iterator(dest + "/Message")) {
        if (e.path().extension() == ".html") pages += fromUtf16(readFile(e.path().string()));
        else copies[e.path().filename().string()] = sha1Hex(readBytes(e.path().string()));
    }
    EXPECT_EQ(pages.find("break-all"), std::string::npos);

    std::map<std::string, std::string> deviceName;  // stored name → last component of the device path
    for (const auto& rec : truth["manifest"]) {
        const std::string path = rec["path"];
        deviceName[rec["storedName"]] = path.substr(path.rfind('/') + 1);
    }
    std::size_t sent = 0, received = 0, attachments = 0;
    for (const auto& m : truth["messages"]["live"]) {
        if (m["attachmentPath"].is_string()) {
            // The copy bears the attachment's own name (numbered when two share it).
            const std::string name = deviceName.at(m["attachmentPath"]);
            const std::string digest = sha1Hex(readBytes(b.path + "/" + m["attachmentPath"].get<std::string>()));
            const auto dot = name.rfind('.');
            const std::string stem = name.substr(0, dot), ext = dot == std::string::npos ? "" : name.substr(dot);
            bool found = false;
            for (const auto& [file, sha] : copies)
                found = found || (sha == digest && (file == name || (file.rfind(stem + " (", 0) == 0 &&
                                                                     file.size() > ext.size() &&
                                                                     file.compare(file.size() - ext.size(), ext.size(), ext) == 0)));
            EXPECT_TRUE(found) << name;
            ++attachments;
        }
        if (m["isHasAttach"] == 1) continue;
        const bool mine = m["messageType"] == "Send";
        std::string who = mine ? "Me" : text(m["messageName"]);
        if (!mine && (m["messageName"].is_null() || trimmed(who).empty())) who = text(m["messagePhone"]);
        const std::string entry = "<p class='name'>Name: " + htmlEscaped(who) + " &nbsp;&nbsp; Date: " +
                                  htmlEscaped(text(m["messageDate"])) + " <p><p class='triangle-isosceles" +
                                  (mine ? "2" : "") + "'> " + htmlEscaped(text(m["messageContent"])) + " </p>";
        EXPECT_NE(pages.find(entry), std::string::npos) << entry;
        ++(mine ? sent : received);
    }
    EXPECT_GT(sent, 0u);
    EXPECT_GT(received, 0u);
    if (GetParam() == "ios6") {
        EXPECT_GT(attachments, 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Generations, RecoveredDocuments, ::testing::Values("ios4", "ios6"),
                         [](const auto& info) { return info.param; });

}  // namespace
}  // namespace salvor::test

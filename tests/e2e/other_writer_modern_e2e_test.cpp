// Deleted records carved from iOS 17 databases the forge did not write: the
// second writer (tests/support/other_writer/other_writer_modern.py) builds the
// message database, the address book and the notes store in WAL mode with its
// own order of operations. Rows the log deleted after the last checkpoint are
// whole in the file: each must come back joined to its own address or
// number. Nothing live may be listed as deleted, nothing joined to another
// row's key.
#include <gtest/gtest.h>

#include <map>

#include "forge/carve_judge.h"
#include "forge/other_writer_backup.h"
#include "support/support.h"

namespace salvor::test {
namespace {

using nlohmann::json;

std::string text(const json& v) { return v.is_string() ? v.get<std::string>() : std::string(); }

TEST(OtherWriterModern, CarvedRowsKeepTheirOwnKeys) {
    TempDir dir;
    const auto b = forge::forgeOtherWriterModernBackup(
        dir.path(), 5, 17, std::string(SALVOR_SOURCE_DIR) + "/tests/support/other_writer/other_writer_modern.py",
        std::string(SALVOR_SCHEMA_DIR) + "/modern");
    const auto r = runSalvor({"scan", b.path, "--json"});
    // 1: the forged backup's refused rows are reported; the scan itself ran.
    ASSERT_EQ(r.exitCode, 1) << r.err;
    const json scan = json::parse(r.out);

    // Carved messages by text: address and date as listed.
    std::multimap<std::string, std::pair<std::string, std::string>> carved;
    for (const json& c : scan["conversations"])
        for (const json& m : c["MessageNodeArray"])
            if (c.value("bdeleted", 0) == 1 || m.value("bDeleted", 0) == 1)
                carved.insert({text(m["messageContent"]), {text(m["messagePhone"]), text(m["messageDate"])}});
    int messages = 0;
    for (const json& row : b.truth["messages"]["deleted"]) {
        const std::string how = text(row["how"]);
        if (how != "after-checkpoint" && how != "log-only") continue;
        ++messages;
        const auto [from, to] = carved.equal_range(text(row["text"]));
        ASSERT_NE(from, to) << how << " message \"" << text(row["text"]) << "\" not listed";
        for (auto it = from; it != to; ++it) {
            EXPECT_EQ(it->second.first, text(row["address"])) << text(row["text"]);
            EXPECT_EQ(it->second.second, text(row["dateText"])) << text(row["text"]);
        }
    }
    EXPECT_GE(messages, 3);

    // Deleted people by name: each with the numbers it had, no other.
    std::multimap<std::string, std::string> people;
    for (const json& c : scan["contacts"])
        if (c.value("bDeleted", 0) == 1) people.insert({text(c["contactName"]), text(c["contactPhone"])});
    int persons = 0;
    for (const json& row : b.truth["contacts"]["deleted"]) {
        if (text(row["how"]) != "after-checkpoint") continue;
        ++persons;
        const std::string name = text(row["First"]) + " " + text(row["Last"]);
        const auto [from, to] = people.equal_range(name);
        ASSERT_NE(from, to) << name << " not listed";
        for (const json& v : row["multiValues"]) {
            if (v["property"] != 3) continue;
            EXPECT_NE(from->second.find(text(v["value"])), std::string::npos) << name << ": " << from->second;
        }
    }
    EXPECT_EQ(persons, 2);

    std::string notes;
    const auto note = [&](const std::string& n) { notes += n + "\n"; };
    const auto c = forge::judgeContacts(b.truth, scan["contacts"], note);
    EXPECT_EQ(c.wrongKey + c.liveAsDeleted, 0) << notes;
    const auto m = forge::judgeMessages(b.truth, scan, note);
    EXPECT_EQ(m.wrongKey + m.liveAsDeleted, 0) << notes;
    const auto n = forge::judgeNotes(b.truth, scan["notes"], note);
    EXPECT_EQ(n.liveAsDeleted, 0) << notes;
    EXPECT_GT(n.matched, 0) << notes;
}

}  // namespace
}  // namespace salvor::test

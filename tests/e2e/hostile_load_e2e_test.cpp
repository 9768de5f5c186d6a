// Backups whose well-formed files would make a reader work or take memory
// without bound: a full-text table over an endless view as the file list or
// as the photo library's assets, archives whose arrays share their children,
// notes inflating to 32 MiB each, a message of 48 MiB. Every run ends, keeps
// what can be read, says what could not, and leaves the backup untouched.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "extract/modern_notes.h"
#include "forge/forge.h"
#include "forge/hostile_modern_load.h"
#include "support/support.h"

namespace salvor::test {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

std::size_t occurrences(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
    return n;
}

// The text of the one conversation page below `dir` (UTF-16, as they are
// written) that holds `marker`; empty when none or several do.
std::string pageHolding(const std::string& dir, const std::string& marker) {
    std::string found;
    for (const std::string& path : filesBelow(dir)) {
        if (path.size() < 5 || path.substr(path.size() - 5) != ".html") continue;
        std::string text = fromUtf16(readFile(path));
        if (text.find(marker) == std::string::npos) continue;
        if (!found.empty()) return {};
        found = std::move(text);
    }
    return found;
}

TEST(HostileModernLoad, EveryCaseEndsAndKeepsWhatCanBeRead) {
    TempDir dir;
    forge::ForgeOptions options;
    options.seed = 3;
    options.scenario = "hostile-modern-load";
    const auto backups = forge::forgeStore(dir / "store", options);
    ASSERT_EQ(backups.size(), 5u);
    std::map<std::string, std::pair<forge::ForgedBackup, json>> byCase;
    std::map<std::string, std::map<std::string, FileFingerprint>> before;
    for (const auto& b : backups) {
        json truth = readJson(b.truthPath);
        before[b.path] = fingerprint(b.path);
        const std::string name = truth["load"]["case"];
        byCase[name] = {b, std::move(truth)};
    }

    {
        SCOPED_TRACE("full-text file list");
        const auto& [b, truth] = byCase.at("files-fts");
        const auto r = runSalvor({"scan", b.path, "--json"});
        EXPECT_EQ(r.exitCode, 1) << r.err;
        EXPECT_NE(r.err.find("(Manifest.db) cannot be read: it has no Files table"), std::string::npos) << r.err;
        EXPECT_TRUE(json::parse(r.out)["photos"].empty());
    }
    {
        // The photos are listed from the file list, without the library's dates.
        SCOPED_TRACE("full-text assets");
        const auto& [b, truth] = byCase.at("photos-fts");
        const auto r = runSalvor({"scan", b.path, "--json"});
        EXPECT_NE(r.err.find("The photo library (Photos.sqlite) cannot be read (it has no table of assets"),
                  std::string::npos)
            << r.err;
        const json scan = json::parse(r.out);
        ASSERT_EQ(scan["photos"].size(), truth["photos"].size());
        for (const auto& p : scan["photos"]) EXPECT_TRUE(p["fileCreateDate"].is_null()) << p.dump();
        // Live notes and the phone's recently deleted ones; the carved ones are judged elsewhere.
        EXPECT_EQ(withDeletedFlag(scan["notes"], false).size(), truth["notes"]["live"].size());
        EXPECT_GE(withDeletedFlag(scan["notes"], true).size(), truth["notes"]["recentlyDeleted"].size());
    }
    {
        // The archives say nothing; their rows and everything else are read.
        SCOPED_TRACE("shared-children archives");
        const auto& [b, truth] = byCase.at("archives");
        const auto r = runSalvor({"scan", b.path, "--json"});
        const json scan = json::parse(r.out);
        EXPECT_EQ(scan["photos"].size(), truth["photos"].size());
        // Live notes and the phone's recently deleted ones; the carved ones are judged elsewhere.
        EXPECT_EQ(withDeletedFlag(scan["notes"], false).size(), truth["notes"]["live"].size());
        EXPECT_GE(withDeletedFlag(scan["notes"], true).size(), truth["notes"]["recentlyDeleted"].size());
        EXPECT_NE(r.out.find("Library/Load/file-999"), std::string::npos);
    }
    {
        // Notes past the bound of the scan keep their titles; the text of all
        // together stays within the bound, and the first ones are whole.
        SCOPED_TRACE("notes inflating to 32 MiB");
        const auto& [b, truth] = byCase.at("notes");
        const auto r = runSalvor({"recover", b.path, "--category", "notes", "--to", dir / "notes"});
        const std::string notes = readFile(dir / "notes/Note/Notes.txt");
        for (int i = 1; i <= forge::kLoadNotes; ++i)
            EXPECT_NE(notes.find("Load note " + std::to_string(i) + " "), std::string::npos) << i;
        const std::size_t whole = occurrences(notes, forge::loadNoteText());
        const std::size_t tooLarge = occurrences(notes, kTooLargeNoteText);
        EXPECT_GE(whole, 1u);
        EXPECT_EQ(whole + tooLarge, static_cast<std::size_t>(forge::kLoadNotes));
        EXPECT_LE(whole * forge::loadNoteText().size(), kMaxNoteTextPerScan);
        EXPECT_GT((whole + 1) * forge::loadNoteText().size(), kMaxNoteTextPerScan - (1u << 20));
        EXPECT_NE(r.err.find(std::to_string(tooLarge) + " notes are listed without their text"), std::string::npos)
            << r.err;
    }
    {
        SCOPED_TRACE("48 MiB message");
        const auto& [b, truth] = byCase.at("message");
        runSalvor({"recover", b.path, "--category", "messages", "--to", dir / "messages"});
        const std::string page = pageHolding(dir / "messages", "LONG-MESSAGE-BEGIN");
        ASSERT_FALSE(page.empty());
        EXPECT_NE(page.find(forge::longMessageText()), std::string::npos);
    }
    for (const auto& b : backups) EXPECT_EQ(fingerprint(b.path), before[b.path]) << b.path;
}

}  // namespace
}  // namespace salvor::test

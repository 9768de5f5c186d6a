#include "extract/extractors.h"
#include "extract_fixture.h"

namespace salvor::test {
namespace {

constexpr const char* kBookmarks = "d1f062e2da26192a6625d968274bfda8d07821e4";
constexpr const char* kBookmarksOld = "04cc352fd9943f7c0c3f0781d4834fa137775761";
constexpr const char* kHistory = "1d6740792a2b845f4c1e6220c43906d7f0afe8ab";

constexpr const char* kHistoryXml = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0"><dict>
<key>WebHistoryFileVersion</key><integer>1</integer>
<key>WebHistoryDates</key><array>
  <dict><key></key><string>http://one.example/</string><key>title</key><string>One</string>
        <key>lastVisitedDate</key><string>468108537.890029</string></dict>
  <dict><key></key><string>http://two.example/</string><key>visitCount</key><integer>3</integer></dict>
  <string>not a dictionary</string>
</array></dict></plist>
)";

using BookmarksTest = ExtractTest;

std::vector<std::pair<Text, Text>> titlesAndUrls(const std::vector<BookMarkPtr>& marks) {
    std::vector<std::pair<Text, Text>> out;
    for (const auto& m : marks) out.emplace_back(m->bookMarkTitle, m->bookMarkURL);
    return out;
}

TEST_F(BookmarksTest, RowsFactoryBookmarksAndHistory) {
    makeDb(stored(kBookmarks), "ios4/Bookmarks.db.sql", R"(
        INSERT INTO bookmarks(id, title, order_index) VALUES(0, 'Root', 0);
        INSERT INTO bookmarks(title, order_index) VALUES('com.apple.ReadingList', 1);
        INSERT INTO bookmarks(title, url, order_index) VALUES('News', 'http://news.example/', 2);
        INSERT INTO bookmarks(title, order_index) VALUES('Folder', 3);
    )");
    writeFile(stored(kHistory), kHistoryXml);
    runPiped(&scanBookMarkThread, backup.path());

    const auto marks = titlesAndUrls(records<BookMarkPtr>(events::scanBookMarkInfo));
    ASSERT_EQ(marks.size(), 2u + kFactoryBookmarks.size() + 2u);
    EXPECT_EQ(marks[0], (std::pair<Text, Text>{"News", "http://news.example/"}));
    EXPECT_EQ(marks[1], (std::pair<Text, Text>{"Folder", ""}));
    for (std::size_t i = 0; i < kFactoryBookmarks.size(); ++i) {
        EXPECT_EQ(marks[2 + i].first, kFactoryBookmarks[i].title);
        EXPECT_EQ(marks[2 + i].second, kFactoryBookmarks[i].url);
    }
    EXPECT_EQ(marks[7], (std::pair<Text, Text>{"One", "http://one.example/"}));
    EXPECT_EQ(marks[8], (std::pair<Text, Text>{std::nullopt, "http://two.example/"}));
    EXPECT_TRUE(progress().empty());
    EXPECT_TRUE(logLines.empty());
}

TEST_F(BookmarksTest, OlderNameMissingFilesAndBadHistory) {
    runPiped(&scanBookMarkThread, backup.path());
    EXPECT_TRUE(posted.empty());
    EXPECT_EQ(logLines, std::vector<std::string>{"messageDB is not exist"});

    // The older name holds a property list, not a database: no rows, but the
    // factory bookmarks still come, and a missing history is reported.
    logLines.clear();
    writeFile(stored(kBookmarksOld), kHistoryXml);
    runPiped(&scanBookMarkThread, backup.path());
    EXPECT_EQ(records<BookMarkPtr>(events::scanBookMarkInfo).size(), kFactoryBookmarks.size());
    EXPECT_EQ(logLines, std::vector<std::string>{"bookMarkPlistPath not find"});

    for (const std::string& bad : {std::string("garbage"), std::string("bplist00"),
                                   std::string(R"(<plist version="1.0"><dict><key>WebHistoryDates</key>)"
                                               R"(<string>x</string></dict></plist>)"),
                                   std::string(R"(<plist version="1.0"><array/></plist>)")}) {
        posted.clear();
        writeFile(stored(kHistory), bad);
        runPiped(&scanBookMarkThread, backup.path());
        EXPECT_EQ(records<BookMarkPtr>(events::scanBookMarkInfo).size(), kFactoryBookmarks.size()) << bad;
    }
}

}  // namespace
}  // namespace salvor::test

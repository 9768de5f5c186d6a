#include "extract/extractors.h"
#include "extract_fixture.h"

namespace salvor::test {
namespace {

constexpr const char* kBookmarksOld = "04cc352fd9943f7c0c3f0781d4834fa137775761";
constexpr const char* kHistory = "1d6740792a2b845f4c1e6220c43906d7f0afe8ab";

using BookmarksTest = ExtractTest;

TEST_F(BookmarksTest, OlderNameMissingFilesAndBadHistory) {
    runPiped(&scanBookmarks, backup.path());
    EXPECT_TRUE(posted.empty());
    EXPECT_EQ(logLines, std::vector<std::string>{"messageDB is not exist"});

    // The older name holds a property list, not a database: no rows, but the
    // factory bookmarks still come, and a missing history is reported.
    logLines.clear();
    writeFile(stored(kBookmarksOld), R"(<plist version="1.0"><dict/></plist>)");
    runPiped(&scanBookmarks, backup.path());
    EXPECT_EQ(records<BookMarkPtr>("bookmark").size(), kFactoryBookmarks.size());
    EXPECT_EQ(logLines, std::vector<std::string>{"bookMarkPlistPath not find"});

    for (const std::string& bad : {std::string("garbage"), std::string("bplist00"),
                                   std::string(R"(<plist version="1.0"><dict><key>WebHistoryDates</key>)"
                                               R"(<string>x</string></dict></plist>)"),
                                   std::string(R"(<plist version="1.0"><dict><key>WebHistoryDates</key>)"
                                               R"(<array><string>not a dictionary</string></array></dict></plist>)"),
                                   std::string(R"(<plist version="1.0"><array/></plist>)")}) {
        posted.clear();
        writeFile(stored(kHistory), bad);
        runPiped(&scanBookmarks, backup.path());
        EXPECT_EQ(records<BookMarkPtr>("bookmark").size(), kFactoryBookmarks.size()) << bad;
    }
}

}  // namespace
}  // namespace salvor::test

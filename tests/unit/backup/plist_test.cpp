#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "backup_test_util.h"
#include "platform/plist.h"

namespace salvor {
namespace {

plist::Document parse(const std::string& bytes) {
    return plist::Document::fromBytes(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

TEST(Plist, HostileInputGivesAnEmptyDocument) {
    EXPECT_TRUE(parse("").empty());
    EXPECT_TRUE(parse("not a property list at all").empty());
    EXPECT_TRUE(parse("<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>Name</key><string>Ann").empty());
    EXPECT_TRUE(parse("bplist00").empty());
    EXPECT_TRUE(parse(std::string("bplist00") + std::string(40, '\xff')).empty());

    // Nesting far beyond any real file would exhaust the parser's stack, also
    // when odd bytes follow the tag name (the parser still reads a container).
    for (const std::string& open : {std::string("<array>"), std::string("<array\0>", 8), std::string("<dict\x01>")}) {
        std::string deep = "<?xml version=\"1.0\"?><plist version=\"1.0\">";
        for (int i = 0; i < 300000; ++i) deep += open;
        deep += "</plist>";
        EXPECT_TRUE(parse(deep).empty());
    }

    // Binary: a chain of 5000 one-element arrays, an array that holds itself, and
    // 40 levels of arrays that each refer twice to the next (2^40 values once expanded).
    auto chain = [](std::uint32_t n, bool cycle, int refs = 1) {
        std::string b = "bplist00";
        std::vector<std::uint32_t> offsets;
        for (std::uint32_t i = 0; i < n; ++i) {
            offsets.push_back(static_cast<std::uint32_t>(b.size()));
            if (i + 1 == n && !cycle) {
                b += '\x08';
                continue;
            }
            const std::uint32_t ref = i + 1 == n ? 0 : i + 1;
            b += static_cast<char>(0xA0 | refs);
            for (int r = 0; r < refs; ++r)
                for (int s = 24; s >= 0; s -= 8) b += static_cast<char>((ref >> s) & 0xFF);
        }
        const std::uint32_t table = static_cast<std::uint32_t>(b.size());
        for (std::uint32_t o : offsets)
            for (int s = 24; s >= 0; s -= 8) b += static_cast<char>((o >> s) & 0xFF);
        b += std::string(6, '\0');
        b += '\x04';
        b += '\x04';
        auto be64 = [&](std::uint64_t v) {
            for (int s = 56; s >= 0; s -= 8) b += static_cast<char>((v >> s) & 0xFF);
        };
        be64(n);
        be64(0);
        be64(table);
        return b;
    };
    EXPECT_FALSE(parse(chain(10, false)).empty());  // the same shape, shallow, is fine
    EXPECT_TRUE(parse(chain(5000, false)).empty());
    EXPECT_TRUE(parse(chain(3, true)).empty());
    EXPECT_FALSE(parse(chain(8, false, 2)).empty());
    EXPECT_TRUE(parse(chain(40, false, 2)).empty());
}

}  // namespace
}  // namespace salvor

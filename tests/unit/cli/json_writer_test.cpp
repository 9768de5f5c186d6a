// The streaming JSON writer: the same text as the pretty-printer for ordinary
// documents, and valid JSON whatever bytes it is handed.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include <nlohmann/json.hpp>

#include "cli/json_writer.h"

namespace salvor::cli {
namespace {

using nlohmann::json;
using Ordered = nlohmann::ordered_json;

// Runs `body` on a writer over a memory stream and returns what it wrote.
template <class Body>
std::string written(int indent, Body body) {
    char* data = nullptr;
    std::size_t size = 0;
    std::FILE* out = open_memstream(&data, &size);
    {
        JsonWriter w(out, indent);
        body(w);
        EXPECT_TRUE(w.finish());
    }
    std::fclose(out);
    std::string text(data, size);
    std::free(data);
    return text;
}

// Drives the writer through a document held by the library.
void replay(JsonWriter& w, const Ordered& v) {
    if (v.is_object()) {
        w.beginObject();
        for (auto it = v.begin(); it != v.end(); ++it) {
            w.key(it.key());
            replay(w, it.value());
        }
        w.endObject();
    } else if (v.is_array()) {
        w.beginArray();
        for (const auto& e : v) replay(w, e);
        w.endArray();
    } else if (v.is_string()) {
        w.string(v.get<std::string>());
    } else if (v.is_number_unsigned()) {
        w.number(v.get<std::uint64_t>());
    } else if (v.is_number_integer()) {
        w.number(v.get<std::int64_t>());
    } else {
        w.null();
    }
}

TEST(JsonWriter, LaysOutDocumentsExactlyAsThePrettyPrinter) {
    const std::string awkward = std::string("q\"b\\s/\b\f\n\r\t\x01\x1f\x7f caf\xC3\xA9 \xF0\x9F\x98\x80") + '\0' + "end";
    Ordered want;
    want["empty object"] = Ordered::object();
    want["empty array"] = Ordered::array();
    want["numbers"] = {-1, 0, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::uint64_t>::max()};
    want["nested"] = {{"text", awkward}, {"none", nullptr}, {"list", {{{"a", 1}}, Ordered::array(), "x"}}};
    for (int indent : {1, 2})
        EXPECT_EQ(written(indent, [&](JsonWriter& w) { replay(w, want); }), want.dump(indent) + "\n") << indent;
}

// Carved reals are printed for readers that tell 2.0 from 2: each must read
// back bit for bit and as a floating-point number, and the values JSON cannot
// spell must still leave a document that parses.
TEST(JsonWriter, RealsReadBackExactlyAndStayReals) {
    const double values[] = {2.0, -0.0, 0.1, 1.5, -7.25, 1e22, 123456789012345678.0, 1e-300,
                             std::numeric_limits<double>::denorm_min(), std::numeric_limits<double>::max(),
                             -std::numeric_limits<double>::max(), 9007199254740993.0};
    const std::string text = written(1, [&](JsonWriter& w) {
        w.beginArray();
        for (double v : values) w.real(v);
        w.real(std::numeric_limits<double>::quiet_NaN());
        w.real(std::numeric_limits<double>::infinity());
        w.real(-std::numeric_limits<double>::infinity());
        w.boolean(true);
        w.boolean(false);
        w.endArray();
    });
    const json doc = json::parse(text);
    const std::size_t n = std::size(values);
    ASSERT_EQ(doc.size(), n + 5) << text;
    for (std::size_t i = 0; i < n; ++i) {
        EXPECT_TRUE(doc[i].is_number_float()) << i << ": " << doc[i].dump();
        const double back = doc[i].get<double>();
        EXPECT_EQ(std::memcmp(&back, &values[i], sizeof back), 0) << i << ": " << doc[i].dump();
    }
    for (std::size_t i = n; i < n + 3; ++i) EXPECT_TRUE(doc[i].is_null()) << doc[i].dump();
    EXPECT_EQ(doc[n + 3], true);
    EXPECT_EQ(doc[n + 4], false);
}

TEST(JsonWriter, HostileTextsAlwaysParseBackWithInvalidBytesReplaced) {
    const std::string fffd = "\xEF\xBF\xBD";
    const std::pair<std::string, std::string> cases[] = {
        {"a\xFF" "b", "a" + fffd + "b"},
        {"\xC3(", fffd + "("},                            // lead byte without its continuation
        {"x\xE2\x82", "x" + fffd + fffd},                 // sequence cut off by the end
        {"\xC0\xAF", fffd + fffd},                        // overlong form
        {"\xED\xA0\x80", fffd + fffd + fffd},             // encoded surrogate
        {"\xF4\x90\x80\x80", fffd + fffd + fffd + fffd},  // beyond U+10FFFF
        {"\x80\xBF", fffd + fffd},                        // stray continuation bytes
        {std::string("\0\x01\x1F\"\\", 5), std::string("\0\x01\x1F\"\\", 5)},
    };
    for (const auto& [input, expected] : cases) {
        const std::string out = written(1, [&](JsonWriter& w) {
            w.beginArray();
            w.string(input);
            w.endArray();
        });
        EXPECT_EQ(json::parse(out).at(0).get<std::string>(), expected) << json(expected).dump();
    }

    // A text far longer than the writer's buffer, mixing every kind of byte, as
    // a key and as a value.
    std::string longText;
    std::string longExpected;
    for (int i = 0; longText.size() < (3u << 20); ++i) {
        const std::string plain(static_cast<std::size_t>(i % 5000), 'a');
        longText += plain + "\xFF\n\xC3\xA9" + '\0';
        longExpected += plain + fffd + "\n\xC3\xA9" + '\0';
    }
    const json parsed = json::parse(written(1, [&](JsonWriter& w) {
        w.beginObject();
        w.key(longText);
        w.string(longText);
        w.endObject();
    }));
    ASSERT_EQ(parsed.size(), 1u);
    EXPECT_EQ(parsed.begin().key(), longExpected);
    EXPECT_EQ(parsed.begin().value().get<std::string>(), longExpected);
}

TEST(JsonWriter, DeepNestingStaysValidAndLinearInSize) {
    constexpr int kDepth = 5000;
    const std::string out = written(1, [](JsonWriter& w) {
        for (int i = 0; i < kDepth; ++i) {
            w.beginArray();
            w.beginObject();
            w.key("k");
        }
        w.null();
        for (int i = 0; i < kDepth; ++i) {
            w.endObject();
            w.endArray();
        }
    });
    EXPECT_LT(out.size(), 20u * kDepth) << out.size();  // indented all the way down: 100 MB
    const json parsed = json::parse(out);
    const json* node = &parsed;
    for (int i = 0; i < kDepth; ++i) node = &node->at(0).at("k");
    EXPECT_TRUE(node->is_null());
}

TEST(JsonWriter, ReportsAnOutputThatCannotBeWritten) {
    std::FILE* full = std::fopen("/dev/full", "w");
    ASSERT_NE(full, nullptr);
    JsonWriter w(full);
    w.beginArray();
    w.string(std::string(1 << 20, 'x'));
    w.endArray();
    EXPECT_FALSE(w.finish());
    std::fclose(full);
}

}  // namespace
}  // namespace salvor::cli

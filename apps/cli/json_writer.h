// A JSON writer that streams one document to a file as it goes, so the cost of
// printing a scan does not grow with what the backup holds.
#pragma once

#include <charconv>
#include <concepts>
#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace salvor::cli {

// Writes whatever the caller hands it as valid JSON: strings are escaped as
// RFC 8259 requires and every byte that is not part of a valid UTF-8 sequence
// becomes U+FFFD. The layout is the usual pretty-printed one (each member and
// element on its own line, `indent` spaces per level, empty containers as {}
// and []), except that containers nested deeper than kIndentedDepth are written
// compactly, so a pathologically deep input does not make the output grow with
// the square of its depth.
class JsonWriter {
public:
    static constexpr std::size_t kIndentedDepth = 128;

    explicit JsonWriter(std::FILE* out, int indent = 1);
    ~JsonWriter();
    JsonWriter(const JsonWriter&) = delete;
    JsonWriter& operator=(const JsonWriter&) = delete;

    void beginObject();
    void endObject();
    void beginArray();
    void endArray();
    // The name of the next member of the current object.
    void key(std::string_view name);
    void string(std::string_view text);
    void null();
    void boolean(bool value);
    template <std::integral T>
    void number(T value) {
        char digits[24];
        const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
        beforeValue();
        put(std::string_view(digits, static_cast<std::size_t>(end - digits)));
    }
    // A floating-point number in its shortest form that reads back to the same
    // value, always with a fraction or an exponent so that an integral value
    // (2.0) stays a real for the reader. JSON has no NaN or infinity, and
    // readers refuse a number past a double's range: those are null.
    void real(double value);

    // Ends the document with a newline and flushes it; false when any write failed.
    bool finish();

private:
    struct Frame {
        bool empty = true;  // no member or element written yet
    };

    void beforeValue();
    void separate();
    void open(char bracket);
    void close(char bracket);
    void lineBreak(std::size_t depth);
    void escaped(std::string_view text);
    void put(std::string_view bytes);
    void put(char c);
    void flush();

    std::FILE* out_;
    std::size_t indent_;
    std::vector<Frame> frames_;  // the open containers, innermost last
    bool afterKey_ = false;
    bool failed_ = false;
    std::string buffer_;
};

}  // namespace salvor::cli

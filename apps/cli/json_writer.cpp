#include "cli/json_writer.h"

#include <algorithm>
#include <cmath>

#include "core/utf8.h"

namespace salvor::cli {

namespace {
constexpr std::size_t kBufferSize = 1 << 16;
constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD
}  // namespace

JsonWriter::JsonWriter(std::FILE* out, int indent)
    : out_(out), indent_(indent > 0 ? static_cast<std::size_t>(indent) : 0) {
    buffer_.reserve(kBufferSize);
}

JsonWriter::~JsonWriter() { flush(); }

void JsonWriter::beginObject() { open('{'); }
void JsonWriter::endObject() { close('}'); }
void JsonWriter::beginArray() { open('['); }
void JsonWriter::endArray() { close(']'); }

void JsonWriter::key(std::string_view name) {
    separate();
    escaped(name);
    put(frames_.size() <= kIndentedDepth ? std::string_view(": ") : std::string_view(":"));
    afterKey_ = true;
}

void JsonWriter::string(std::string_view text) {
    beforeValue();
    escaped(text);
}

void JsonWriter::null() {
    beforeValue();
    put("null");
}

void JsonWriter::boolean(bool value) {
    beforeValue();
    put(value ? std::string_view("true") : std::string_view("false"));
}

void JsonWriter::real(double value) {
    if (!std::isfinite(value)) {
        null();
        return;
    }
    beforeValue();
    char digits[32];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    const std::string_view text(digits, static_cast<std::size_t>(end - digits));
    put(text);
    if (text.find_first_of(".e") == std::string_view::npos) put(".0");
}

bool JsonWriter::finish() {
    put('\n');
    flush();
    if (std::fflush(out_) != 0 || std::ferror(out_)) failed_ = true;
    return !failed_;
}

void JsonWriter::beforeValue() {
    if (afterKey_) afterKey_ = false;
    else if (!frames_.empty()) separate();
}

// Before a member or an element: the comma after the previous one, then its line.
void JsonWriter::separate() {
    if (frames_.empty()) return;
    Frame& frame = frames_.back();
    if (!frame.empty) put(',');
    frame.empty = false;
    if (frames_.size() <= kIndentedDepth) lineBreak(frames_.size());
}

void JsonWriter::open(char bracket) {
    beforeValue();
    put(bracket);
    frames_.push_back(Frame{});
}

void JsonWriter::close(char bracket) {
    if (frames_.empty()) return;
    const bool empty = frames_.back().empty;
    const std::size_t depth = frames_.size();
    frames_.pop_back();
    if (!empty && depth <= kIndentedDepth) lineBreak(depth - 1);
    put(bracket);
}

void JsonWriter::lineBreak(std::size_t depth) {
    put('\n');
    for (std::size_t n = depth * indent_; n > 0;) {
        static constexpr std::string_view kSpaces = "                                ";
        const std::size_t step = std::min(n, kSpaces.size());
        put(kSpaces.substr(0, step));
        n -= step;
    }
}

void JsonWriter::escaped(std::string_view text) {
    put('"');
    std::size_t start = 0;  // start of the run of bytes copied as they are
    std::size_t pos = 0;
    auto flushRun = [&](std::size_t end) {
        if (end > start) put(text.substr(start, end - start));
    };
    while (pos < text.size()) {
        const auto c = static_cast<unsigned char>(text[pos]);
        if (c >= 0x80) {
            std::size_t next = pos;
            char32_t cp = 0;
            if (utf8::nextCodePoint(text, next, cp)) {
                pos = next;
            } else {
                flushRun(pos);
                put(kReplacement);
                pos = next;
                start = pos;
            }
            continue;
        }
        if (c >= 0x20 && c != '"' && c != '\\') {
            ++pos;
            continue;
        }
        flushRun(pos);
        switch (c) {
            case '"': put("\\\""); break;
            case '\\': put("\\\\"); break;
            case '\b': put("\\b"); break;
            case '\f': put("\\f"); break;
            case '\n': put("\\n"); break;
            case '\r': put("\\r"); break;
            case '\t': put("\\t"); break;
            default: {
                static constexpr char kHex[] = "0123456789abcdef";
                const char u[] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
                put(std::string_view(u, sizeof u));
            }
        }
        ++pos;
        start = pos;
    }
    flushRun(pos);
    put('"');
}

void JsonWriter::put(std::string_view bytes) {
    if (buffer_.size() + bytes.size() > kBufferSize) {
        flush();
        if (bytes.size() > kBufferSize) {  // a long text goes straight out
            if (std::fwrite(bytes.data(), 1, bytes.size(), out_) != bytes.size()) failed_ = true;
            return;
        }
    }
    buffer_.append(bytes);
}

void JsonWriter::put(char c) {
    if (buffer_.size() >= kBufferSize) flush();
    buffer_.push_back(c);
}

void JsonWriter::flush() {
    if (buffer_.empty()) return;
    if (std::fwrite(buffer_.data(), 1, buffer_.size(), out_) != buffer_.size()) failed_ = true;
    buffer_.clear();
}

}  // namespace salvor::cli

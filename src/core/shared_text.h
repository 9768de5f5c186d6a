// Texts of the backup tree that many records hold alike, held once: a
// SharedText is one text shared by every holder (a domain, a file type, a
// size text), a PathText a path whose folder part is shared by the paths of
// every file of that folder and whose last part is its own. A manifest of
// hundreds of thousands of records then holds each folder's path once
// instead of once per record.
//
// Both read like an optional text: absent, or a text. `*t` of a SharedText
// is the shared string itself; `*p` of a PathText makes the path as a new
// string.
#pragma once

#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>

namespace salvor {

class SharedText {
public:
    SharedText() = default;
    SharedText(std::nullopt_t) {}  // NOLINT: reads like an optional text
    template <class T>
        requires std::is_constructible_v<std::string, const T&>
    SharedText(const T& text) : text_(made(std::string(text))) {}  // NOLINT
    SharedText(const std::optional<std::string>& text) {  // NOLINT
        if (text) text_ = made(*text);
    }
    // Shares `text` (absent when null).
    explicit SharedText(std::shared_ptr<const std::string> text) : text_(std::move(text)) {}

    bool has_value() const { return text_ != nullptr; }
    explicit operator bool() const { return has_value(); }
    const std::string& operator*() const { return *text_; }
    const std::string* operator->() const { return text_.get(); }
    // Throws std::bad_optional_access when absent, as an optional would.
    const std::string& value() const {
        if (!text_) throw std::bad_optional_access();
        return *text_;
    }
    std::string value_or(std::string fallback) const { return text_ ? *text_ : fallback; }
    operator std::optional<std::string>() const {  // NOLINT: where a text field is expected
        return text_ ? std::optional<std::string>(*text_) : std::nullopt;
    }
    const std::shared_ptr<const std::string>& shared() const { return text_; }

    bool operator==(std::string_view text) const { return text_ && *text_ == text; }
    bool operator==(const std::string& text) const { return text_ && *text_ == text; }
    bool operator==(const char* text) const { return text_ && *text_ == text; }
    bool operator==(const std::optional<std::string>& text) const {
        return text ? *this == *text : !has_value();
    }
    bool operator==(const SharedText& other) const {
        return text_ == other.text_ || (text_ && other.text_ && *text_ == *other.text_);
    }

private:
    // A new shared string; every empty text shares one, and so does each of
    // the few names a folder's tick state is shown by.
    static std::shared_ptr<const std::string> made(std::string text);

    std::shared_ptr<const std::string> text_;
};

inline const std::string& textOrEmpty(const SharedText& t) {
    static const std::string empty;
    return t ? *t : empty;
}

std::ostream& operator<<(std::ostream& out, const SharedText& t);

class PathText {
public:
    PathText() = default;
    PathText(std::nullopt_t) {}  // NOLINT: reads like an optional text
    // Any text: held whole, as its own.
    template <class T>
        requires std::is_constructible_v<std::string, const T&>
    PathText(const T& text) : folder_(noFolder()), last_(text) {}  // NOLINT
    PathText(const std::optional<std::string>& text) {  // NOLINT
        if (text) *this = PathText(*text);
    }
    // `folder` (shared, with its last "/") followed by `last`.
    PathText(std::shared_ptr<const std::string> folder, std::string_view last)
        : folder_(folder ? std::move(folder) : noFolder()), last_(last) {}

    bool has_value() const { return folder_ != nullptr; }
    explicit operator bool() const { return has_value(); }
    std::string operator*() const { return text(); }
    // Throws std::bad_optional_access when absent, as an optional would.
    std::string value() const {
        if (!has_value()) throw std::bad_optional_access();
        return text();
    }
    std::string value_or(std::string fallback) const { return has_value() ? text() : fallback; }
    operator std::optional<std::string>() const {  // NOLINT: where a text field is expected
        return has_value() ? std::optional<std::string>(text()) : std::nullopt;
    }
    // Appends the text to `out` (nothing when absent).
    void appendTo(std::string& out) const {
        if (folder_) out.append(*folder_).append(last_);
    }
    // The text after the shared folder part (the whole text when none).
    const std::string& last() const { return last_; }
    std::size_t size() const { return folder_ ? folder_->size() + last_.size() : 0; }

    // Whether the text, absent read as empty, is `text`; makes no string.
    bool textIs(std::string_view text) const { return has_value() ? *this == text : text.empty(); }

    bool operator==(std::string_view text) const {
        if (!folder_) return false;
        const std::string_view folder(*folder_);
        return text.size() == folder.size() + last_.size() && text.substr(0, folder.size()) == folder &&
               text.substr(folder.size()) == last_;
    }
    bool operator==(const std::string& text) const { return *this == std::string_view(text); }
    bool operator==(const char* text) const { return *this == std::string_view(text); }
    bool operator==(const std::optional<std::string>& text) const {
        return text ? *this == std::string_view(*text) : !has_value();
    }
    bool operator==(const PathText& other) const {
        return has_value() == other.has_value() && (!has_value() || *this == std::string_view(other.text()));
    }

private:
    // The folder part of a text held whole: empty, shared by all of them.
    static std::shared_ptr<const std::string> noFolder();
    std::string text() const { return folder_ ? *folder_ + last_ : std::string(); }

    std::shared_ptr<const std::string> folder_;  // null: absent
    std::string last_;
};

inline std::string textOrEmpty(const PathText& p) { return p.value_or(std::string()); }

// Makes the shared texts of one scan: equal texts, and paths of one folder,
// share one string for as long as this object lives.
class TextPool {
public:
    // `text`, shared with every equal text made here.
    SharedText text(std::string_view text);
    // `path` with its folder part (through its last "/") shared with the
    // paths made here of the same folder.
    PathText path(std::string_view path);

private:
    std::shared_ptr<const std::string> shared(std::string_view text);

    struct Hash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
    };
    // Keys view the shared strings themselves.
    std::unordered_map<std::string_view, std::shared_ptr<const std::string>, Hash, std::equal_to<>> texts_;
    std::shared_ptr<const std::string> lastFolder_;  // paths of one folder tend to come together
};

}  // namespace salvor

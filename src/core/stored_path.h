// The path of a stored file of a backup, "<folder>/<name>", held without a
// copy of its folder: every file of one folder shares one text of it, and the
// name, 40 hex digits, is kept as the 20 bytes they spell. A manifest of
// hundreds of thousands of records then holds each folder's path once instead
// of once per record. Any other text is held whole.
//
// It reads like an optional text (absent, or a path): `*p`, `p.value()` and
// textOrEmpty(p) make the path as a new string.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

namespace salvor {

class StoredPath {
public:
    StoredPath() = default;
    StoredPath(std::nullopt_t) {}  // NOLINT: reads like an optional text
    // Any text (a string, a file-system path): held whole.
    template <class T>
        requires std::is_constructible_v<std::string, const T&>
    StoredPath(const T& path) {  // NOLINT: reads like an optional text
        assignWhole(std::string(path));
    }
    StoredPath(const std::optional<std::string>& path) {  // NOLINT
        if (path) assignWhole(*path);
    }
    // `folder` (without the last "/") shared with the other files of the
    // folder, and the file's `name`; held whole unless the name is 40
    // lower-case hex digits.
    StoredPath(std::shared_ptr<const std::string> folder, std::string_view name);

    bool has_value() const { return form_ != Form::Absent; }
    explicit operator bool() const { return has_value(); }
    std::string operator*() const { return text(); }
    // The path; throws std::bad_optional_access when absent, as an optional would.
    std::string value() const;
    std::string value_or(std::string fallback) const { return has_value() ? text() : fallback; }
    operator std::optional<std::string>() const {  // NOLINT: where a text field is expected
        return has_value() ? std::optional<std::string>(text()) : std::nullopt;
    }

    // The path's last part (the stored name); empty when absent.
    std::string name() const;
    // The folder and the name without making the path: views into this
    // object, or (a compact name) into `scratch`. Both empty when absent;
    // the folder is empty for a path without "/".
    std::pair<std::string_view, std::string_view> parts(char (&scratch)[40]) const;
    // The folder it is in, shared; null when absent or held whole.
    const std::shared_ptr<const std::string>& folder() const { return text_; }
    bool compact() const { return form_ == Form::FolderAndName; }

    bool operator==(std::string_view path) const;
    // Whether the path, absent read as empty, is `path`; makes no string.
    bool textIs(std::string_view path) const { return has_value() ? *this == path : path.empty(); }
    bool operator==(const std::string& path) const { return *this == std::string_view(path); }
    bool operator==(const char* path) const { return *this == std::string_view(path); }
    bool operator==(const StoredPath& other) const;
    bool operator==(const std::optional<std::string>& other) const {
        return other ? *this == std::string_view(*other) : !has_value();
    }

private:
    enum class Form : std::uint8_t { Absent, Whole, FolderAndName };
    void assignWhole(std::string_view path);
    std::string text() const;  // empty when absent

    std::shared_ptr<const std::string> text_;  // the folder, or the whole path
    std::array<std::uint8_t, 20> digest_{};    // the name's 40 hex digits as bytes
    Form form_ = Form::Absent;
};

// The path, or empty when absent (a new string, unlike textOrEmpty of a text).
inline std::string textOrEmpty(const StoredPath& p) { return p.value_or(std::string()); }

}  // namespace salvor

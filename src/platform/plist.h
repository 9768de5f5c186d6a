// Property lists (XML or binary) read into a tree that callers query by key.
// Reading never throws and never crashes on damaged input: a file that is
// missing, too large, too deeply nested, self-referring, expanding beyond a
// sane number of values or not a property list gives an empty
// document, and every query on a missing or mistyped value gives "absent".
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace salvor::plist {

// A view of one value inside a Document. Cheap to copy; valid while its
// Document lives. A default-constructed (null) node answers every query with
// "absent", so lookups chain safely: doc.root().dict("Lockdown").string("DeviceName").
class Node {
public:
    Node() = default;

    bool isNull() const { return node_ == nullptr; }
    explicit operator bool() const { return node_ != nullptr; }
    bool isDict() const;
    bool isArray() const;
    bool isString() const;

    // This value as the given type; absent when it is of another type.
    std::optional<std::string> asString() const;
    std::optional<std::int64_t> asInteger() const;  // integers only (unsigned values above INT64_MAX: absent)
    std::optional<double> asReal() const;
    std::optional<bool> asBool() const;
    // A UID value (the object references of keyed archives).
    std::optional<std::uint64_t> asUid() const;
    std::optional<std::vector<std::uint8_t>> asData() const;
    // A date value as seconds since 1970-01-01 00:00:00 UTC.
    std::optional<double> asDateUnix() const;

    // Dictionary access (null / absent when this is not a dictionary or the key is missing).
    Node get(const std::string& key) const;
    std::optional<std::string> string(const std::string& key) const { return get(key).asString(); }
    Node dict(const std::string& key) const;    // null unless the value is a dictionary
    Node array(const std::string& key) const;   // null unless the value is an array

    // Number of entries of a dictionary or array; 0 for anything else.
    std::size_t size() const;
    // Array element; null when out of range or not an array.
    Node at(std::size_t index) const;
    // Visits a dictionary's entries in stored order, or an array's elements
    // (with an empty key). Does nothing for other types.
    void forEach(const std::function<void(const std::string& key, const Node& value)>& visit) const;

private:
    friend class Document;
    explicit Node(void* node) : node_(node) {}
    void* node_ = nullptr;  // plist_t, owned by the Document
};

// Owns a parsed property list.
class Document {
public:
    Document() = default;

    // Parses XML or binary bytes; an empty document when they are not a usable
    // property list, or a binary one that would expand to more than
    // `maxValues` values (a caller that knows its lists are small asks for less).
    static Document fromBytes(const std::uint8_t* data, std::size_t size, std::uint64_t maxValues = kMaxValues);
    // Reads and parses a file; an empty document when it is missing or unreadable.
    static Document fromFile(const std::string& path);

    bool empty() const { return root_ == nullptr; }
    explicit operator bool() const { return root_ != nullptr; }
    Node root() const { return Node(root_.get()); }
    // The root if it is a dictionary, else null (the usual shape of a description file).
    Node rootDict() const;

    // Files larger than this are not read (a description file is far smaller).
    static constexpr std::size_t kMaxFileSize = 256u * 1024u * 1024u;
    // Containers nested deeper than this are refused before parsing.
    static constexpr std::size_t kMaxDepth = 512;
    // Binary lists may refer to one value many times; one that would expand
    // to more values than this is refused before parsing.
    static constexpr std::uint64_t kMaxValues = 2'000'000;

private:
    std::shared_ptr<void> root_;  // plist_t, freed with the last copy
};

}  // namespace salvor::plist

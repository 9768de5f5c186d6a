// Bounds-checked reading of bytes held in memory, and the owning image of a
// whole file that such a reader runs over.
//
// A ByteReader is a non-owning view (pointer + length) with a position. Every
// read checks that the bytes it needs lie inside the view and fails otherwise;
// a failed read leaves the position where it was. Offsets and lengths are
// 64-bit and are compared as `offset <= size && length <= size - offset`, so no
// sum can wrap around and let a read escape the view. Integers are big-endian.
// Slices are readers over a sub-range of their parent: they can never reach a
// byte outside it, however their own offsets are chosen.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace salvor {

// A SQLite variable-length integer and the number of bytes (1 to 9) it took.
struct Varint {
    std::uint64_t value = 0;
    std::uint8_t length = 0;
};

class ByteReader {
public:
    ByteReader() = default;
    // A null pointer is taken as an empty view, whatever `size` says.
    ByteReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(data ? size : 0) {}
    explicit ByteReader(std::span<const std::uint8_t> bytes) : ByteReader(bytes.data(), bytes.size()) {}

    const std::uint8_t* data() const { return data_; }
    std::size_t size() const { return size_; }
    std::size_t position() const { return pos_; }
    std::size_t remaining() const { return size_ - pos_; }
    bool atEnd() const { return pos_ == size_; }

    // True when `length` bytes starting at absolute `offset` lie inside the view.
    bool contains(std::uint64_t offset, std::uint64_t length) const {
        return offset <= size_ && length <= size_ - offset;
    }

    // ---- moving ----
    // To an absolute offset; the end itself is a valid position.
    bool seek(std::uint64_t offset) {
        if (offset > size_) return false;
        pos_ = static_cast<std::size_t>(offset);
        return true;
    }
    bool skip(std::uint64_t n) {
        if (!contains(pos_, n)) return false;
        pos_ += static_cast<std::size_t>(n);
        return true;
    }

    // ---- reads at the position; on failure the position does not move ----
    std::optional<std::uint8_t> u8() { return advance(peekU8(pos_), 1); }
    std::optional<std::uint16_t> u16() { return advance(peekU16(pos_), 2); }
    std::optional<std::uint32_t> u24() { return advance(peekU24(pos_), 3); }
    std::optional<std::uint32_t> u32() { return advance(peekU32(pos_), 4); }
    std::optional<std::uint64_t> u48() { return advance(peekU48(pos_), 6); }
    std::optional<std::uint64_t> u64() { return advance(peekU64(pos_), 8); }
    std::optional<std::uint64_t> varint() {
        const std::optional<Varint> v = peekVarint(pos_);
        if (!v) return std::nullopt;
        pos_ += v->length;
        return v->value;
    }
    // The next n bytes, as a view into the underlying memory.
    std::optional<std::span<const std::uint8_t>> bytes(std::uint64_t n) {
        auto out = peekBytes(pos_, n);
        if (out) pos_ += out->size();
        return out;
    }
    // The next n bytes copied into `out` (its capacity is reused). On failure
    // `out` is left as it was.
    bool string(std::uint64_t n, std::string& out) {
        const auto b = bytes(n);
        if (!b) return false;
        out.assign(reinterpret_cast<const char*>(b->data()), b->size());
        return true;
    }
    // A reader over the next n bytes; this reader moves past them.
    std::optional<ByteReader> take(std::uint64_t n) {
        auto child = slice(pos_, n);
        if (child) pos_ += child->size();
        return child;
    }

    // A reader over [offset, offset + length) of this view, at its position 0.
    std::optional<ByteReader> slice(std::uint64_t offset, std::uint64_t length) const {
        if (!contains(offset, length)) return std::nullopt;
        return ByteReader(data_ + offset, static_cast<std::size_t>(length));
    }

    // ---- peeks at absolute offsets; the position does not move ----
    std::optional<std::uint8_t> peekU8(std::uint64_t offset) const { return narrow<std::uint8_t>(be<1>(offset)); }
    std::optional<std::uint16_t> peekU16(std::uint64_t offset) const { return narrow<std::uint16_t>(be<2>(offset)); }
    std::optional<std::uint32_t> peekU24(std::uint64_t offset) const { return narrow<std::uint32_t>(be<3>(offset)); }
    std::optional<std::uint32_t> peekU32(std::uint64_t offset) const { return narrow<std::uint32_t>(be<4>(offset)); }
    std::optional<std::uint64_t> peekU48(std::uint64_t offset) const { return be<6>(offset); }
    std::optional<std::uint64_t> peekU64(std::uint64_t offset) const { return be<8>(offset); }
    std::optional<std::span<const std::uint8_t>> peekBytes(std::uint64_t offset, std::uint64_t n) const {
        if (!contains(offset, n)) return std::nullopt;
        return std::span<const std::uint8_t>(data_ + offset, static_cast<std::size_t>(n));
    }
    // A SQLite varint at `offset`. Bytes 1 to 8 each give their low 7 bits and
    // say by their high bit whether another byte follows; a 9th byte, when
    // reached, gives all 8 bits. The bits are taken most significant first, so
    // 8 x 7 + 8 = 64 bits at most and nothing can overflow: 0x81 0x00 is 128,
    // nine bytes 0xFF are 2^64 - 1 (-1 as SQLite's signed value). A varint whose
    // continuation bit points past the end of the view is no varint at all.
    std::optional<Varint> peekVarint(std::uint64_t offset) const {
        if (offset >= size_) return std::nullopt;
        const std::size_t avail = size_ - static_cast<std::size_t>(offset);
        const std::uint8_t* p = data_ + offset;
        std::uint64_t value = 0;
        for (std::uint8_t i = 0; i < 8; ++i) {
            if (i >= avail) return std::nullopt;
            value = (value << 7) | (p[i] & 0x7F);
            if ((p[i] & 0x80) == 0) return Varint{value, static_cast<std::uint8_t>(i + 1)};
        }
        if (avail < 9) return std::nullopt;
        return Varint{(value << 8) | p[8], 9};
    }

private:
    template <unsigned N>
    std::optional<std::uint64_t> be(std::uint64_t offset) const {
        if (!contains(offset, N)) return std::nullopt;
        const std::uint8_t* p = data_ + offset;
        std::uint64_t v = 0;
        for (unsigned i = 0; i < N; ++i) v = (v << 8) | p[i];
        return v;
    }
    template <class T>
    static std::optional<T> narrow(std::optional<std::uint64_t> v) {
        if (!v) return std::nullopt;
        return static_cast<T>(*v);
    }
    template <class T>
    std::optional<T> advance(std::optional<T> v, std::size_t width) {
        if (v) pos_ += width;
        return v;
    }

    const std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t pos_ = 0;
};

// The whole content of one file, read once into memory. Only regular files are
// read: the file is opened without following a final symbolic link (a link in
// a backup folder could point anywhere on the machine) and without blocking (a
// FIFO or a device in its place must not hang the scan), then refused unless it
// is a regular file.
class FileImage {
public:
    enum class Status { ok, cannotOpen, notRegularFile, tooLarge, readFailed };

    // Replaces the content with that of the file at `path`, at most `maxSize`
    // bytes long. On any failure the image is left empty.
    Status load(const std::string& path, std::uint64_t maxSize);

    std::span<const std::uint8_t> bytes() const { return bytes_; }
    std::size_t size() const { return bytes_.size(); }
    ByteReader reader() const { return ByteReader(bytes_.data(), bytes_.size()); }

    // A short phrase for a log line: "not a regular file", ...
    static const char* describe(Status status);

private:
    std::vector<std::uint8_t> bytes_;
};

}  // namespace salvor

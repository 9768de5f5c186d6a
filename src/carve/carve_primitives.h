// The carving primitives shared by the deleted-record scans: a database file
// held in memory as pages, hex text of its bytes, numbers, the SQLite record
// format (serial types and field bodies), the byte patterns that mark a record
// of a given table, and two text operations.
//
// Nothing here seeks a file or keeps state between calls. Every byte is read
// through the image, in which any byte past the end of the file reads as 0, so
// a probe at any offset answers from the same bytes and never reads outside
// memory it owns. Every write goes into a destination span and is cut to it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/byte_reader.h"

namespace salvor::carve {

// A database file seen as pages. It holds a view of the bytes (a FileImage or
// any buffer that outlives it). Page n starts at n x pageSize; the page count is
// the file size divided by the page size, so a trailing partial page is not
// counted, though its bytes stay readable through the offset reads.
class PageImage {
public:
    // Takes the page size from header bytes 16-17 (1 stands for 65536). A file
    // too short to hold that field, or a page size that is not a power of two
    // from 512 to 65536, is not carved: the answer is nothing and one diagnostic
    // line names `label` and the reason.
    static std::optional<PageImage> open(std::span<const std::uint8_t> bytes, const std::string& label);

    std::uint32_t pageSize() const { return pageSize_; }
    std::uint64_t pageCount() const { return bytes_.size() / pageSize_; }
    std::uint64_t size() const { return bytes_.size(); }

    // Page n as a reader of pageSize bytes. A page at or past the page count
    // reads as zeros (a reader over a zero page), as the file's bytes past its end do.
    ByteReader page(std::uint64_t n) const;
    // The byte at an absolute offset; 0 past the end.
    std::uint8_t byteAt(std::uint64_t offset) const {
        return offset < bytes_.size() ? bytes_[static_cast<std::size_t>(offset)] : 0;
    }
    // Copies out.size() bytes from `offset` on; bytes past the end are 0.
    void copy(std::uint64_t offset, std::span<std::uint8_t> out) const;
    // The whole file.
    ByteReader reader() const { return ByteReader(bytes_); }

private:
    PageImage(std::span<const std::uint8_t> bytes, std::uint32_t pageSize) : bytes_(bytes), pageSize_(pageSize) {}
    std::span<const std::uint8_t> bytes_;
    std::uint32_t pageSize_;
};

// ---- reading ----

// The hex text (two lowercase digits per byte, no separator) of `length` bytes
// at `offset`. Nothing for offset 0 or a count of 0.
std::optional<std::string> getHexString(const PageImage& image, std::uint64_t offset, std::uint64_t length);
// Copies `length` bytes at `offset` raw into `buffer`, cut to the buffer's size.
// False, and nothing copied, for offset 0, a count of 0 or an empty buffer.
bool readData(const PageImage& image, std::span<std::uint8_t> buffer, std::uint64_t offset, std::uint64_t length);
// 1 table leaf (0x0D), 2 table interior (0x05) or zero, 3 index interior
// (0x02), 4 index leaf (0x0A), -1 any other byte or offset 0.
int getPageType(const PageImage& image, std::uint64_t offset);
// 1 when the byte at `offset` is 2 (header byte 18: write-ahead log), else 0.
int checkSQliteVersion(const PageImage& image, std::uint64_t offset);

// ---- numbers ----

// The value of the first `length` hex digits of `hex`, most significant first,
// modulo 2^32. Lowercase a-f count 10-15, 0-9 themselves, anything else 0.
// 0 for no text, a text shorter than `length` or a count below 1.
std::uint32_t valueOfHexDigits(std::optional<std::string_view> hex, int length);
// A two-byte serial type: the binary digits of b1, then those of b2 padded to
// seven, with a leading "10" removed. Equals the SQLite two-byte varint for b1
// in 0x80-0xBF and b2 below 0x80; above that the high bits stay in the value.
std::uint32_t getAlterInteger(std::uint8_t num1, std::uint8_t num2);
// Body length of a serial type; 0 for negative, NULL, constant and reserved types.
std::int64_t getFieldDataLengthBy(std::int64_t serialType);
// The unsigned big-endian value of `size` bytes of `buffer` from `point` on,
// modulo 2^64; bytes outside the buffer count as 0; 0 when size is below 1.
std::uint64_t readBigEndian(std::span<const std::uint8_t> buffer, std::uint64_t point, std::int64_t size);
// The decimal text of a number body of serial type 1 to 7: integers at their
// full width as signed two's complement, type 7 as an IEEE double in its
// shortest round-trip form. Nothing for another type or a body of the wrong length.
std::optional<std::string> numberText(std::int64_t serialType, std::span<const std::uint8_t> body);

// ---- field decoders ----
//
// Each decodes field `position` of the record based at file offset `offset`:
// its serial type lies at offset (+ head) + position, its body at offset (+ head)
// + length + dataoff. A decoded field is written into `data` (text and blob
// bodies raw, numbers as zero-terminated decimal text), cut to the size of
// `data`, and `dataoff` grows by the body's full length so that later fields
// stay in place. The answer says whether the field was decoded; a field that is
// not leaves `dataoff` unchanged.
//
// One-byte serial type: 14 and above a text or blob, 1 to 7 a number; other
// types, and empty bodies, are not decoded.
bool AnalyseDBDataFile(const PageImage& image, std::int64_t position, std::uint64_t& dataoff, std::uint64_t offset,
                       std::int64_t length, std::span<std::uint8_t> data);
bool AnalyseTheDBDataFile(const PageImage& image, std::int64_t position, std::uint64_t& dataoff, std::uint64_t offset,
                          std::int64_t head, std::int64_t length, std::span<std::uint8_t> data);
// Two-byte serial type (getAlterInteger): every value up to 4095 is copied as
// raw body bytes, numbers included, an empty body too; above 4095 nothing.
bool AnalyseAlterbleDB(const PageImage& image, std::int64_t position, std::uint64_t& dataOff, std::uint64_t offset,
                       std::int64_t length, std::span<std::uint8_t> Data);
bool AnalyseAlterbleDBFile(const PageImage& image, std::int64_t position, std::uint64_t& dataoff, std::uint64_t offset,
                           std::int64_t Head, std::int64_t length, std::span<std::uint8_t> data);

// ---- validity tests over hex text ----

// Record kinds: 1 call history, 2 messages, 3 calendar, 4 contacts, 5 bookmarks, 6 notes.
// 1 when `hex` begins with one of the kind's patterns, -1 when not (or an
// unknown kind), 0 for no text.
int bCheckDataIsValid(std::optional<std::string_view> hex, int type);
// 1 when a window of `length` characters starting at character 0, 1, 2 ... up
// to but not including (text length - length) passes bCheckDataIsValid: windows
// move by half a byte, and the last possible window is never examined. Else 0.
int bcheckSubStringIsValid(std::optional<std::string_view> hex, int type, std::int64_t length);
// The same windows, beginning with "0600".
int bcheckChatIOS6SubStringIsValid(std::optional<std::string_view> hex, std::int64_t length);
// The same windows, beginning with one of the iOS 6 message patterns.
int bcheckMessageIOS6SubStringIsValid(std::optional<std::string_view> hex, std::int64_t length);
// 1 when the hex text of `length` bytes at `offset` begins with one of the
// kind's deletion marks (kind 4: header size 0x23-0x26 then a NULL column).
int getDeletedMark(const PageImage& image, std::uint64_t offset, std::uint64_t length, int type);

// ---- single-byte probes (1 when the byte at offset ...) ----
int bNoteAlter(const PageImage& image, std::uint64_t offset);                  // is 0x80-0x89
int bImageURLAlter(const PageImage& image, std::uint64_t offset);              // is not 0x09
int IsAlterAboutContent(const PageImage& image, std::uint64_t offset);         // is not 0x04
int ISAlterMessageContentFiled(const PageImage& image, std::uint64_t offset);  // is not 0x55
int isAlterPropertyField(const PageImage& image, std::uint64_t offset);         // is 121-152

// ---- zero-byte distance probes ----

// 0 when the byte at offset is 0; else the distance back to the nearest 0 byte
// before it; -1 when there is none between the offset and the start of the file.
std::int64_t bSortAlter(const PageImage& image, std::uint64_t offset);
// Kind 2: 1 when the byte is 14 or more. Kind 6: 0 when the byte is 0, else the
// distance forward to the next 0 byte (the end of the file at the latest). Other kinds 0.
std::int64_t bIsAlterbleDBFile(const PageImage& image, std::uint64_t offset, int type);
// The byte just before the first 0 byte at or after offset: 2 for 34-36, 1 for 18-20, else 0.
int getFieldLength(const PageImage& image, std::uint64_t offset);

// ---- varints read backwards ----

// The varint whose last byte is at `end` (that byte has the high bit clear, the
// up to eight before it have it set), as a cell header's row id or payload
// length is found from the record after it: its value and its first byte.
// Nothing when the byte at `end` continues a varint, or for offset 0.
struct VarintEnd {
    std::uint64_t value = 0;
    std::uint64_t start = 0;
};
std::optional<VarintEnd> varintEndingAt(const PageImage& image, std::uint64_t end);

// ---- text ----

// One character per byte: printable ASCII as itself, every other byte '.'.
std::string GetLastPageStringWithChar(std::span<const std::uint8_t> bytes);
// The short token (at most 20 characters, ending after its first space) that
// follows `key` (ignoring case) in `text`; the last character of the text is
// never searched nor taken.
std::optional<std::string> getNextSubStringInString(std::optional<std::string_view> text,
                                                    std::optional<std::string_view> key);

}  // namespace salvor::carve

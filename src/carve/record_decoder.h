// Decoding a record of the SQLite format against a table's declared columns:
// the serial types of its header, its values in the file's text encoding, and
// whether they fit the columns (integers where integers are declared, texts
// valid in the encoding, plausible dates, booleans 0 or 1).
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <span>
#include <vector>

#include "carve/btree_page.h"
#include "carve/sqlite_image.h"
#include "carve/table_carver.h"

namespace salvor::carve {

// At most this many serial types are read from one header.
inline constexpr std::size_t kMaxColumns = 2000;

// The serial types of a record header at `at` (its length varint first).
// Nothing when the header runs past `limit`, a type is reserved (10, 11) or
// there are more than kMaxColumns. `headerLength` gets the header's size.
std::optional<std::vector<std::uint64_t>> readHeader(Bytes bytes, std::size_t at, std::size_t limit,
                                                     std::uint64_t* headerLength = nullptr);

// The serial types from `at` on, `count` of them, read as plain varints (a
// header whose length field was lost). `end` gets one past the last.
std::optional<std::vector<std::uint64_t>> readTypes(Bytes bytes, std::size_t at, std::size_t limit, std::size_t count,
                                                    std::size_t* end);

// Sum of the body lengths of the types.
std::uint64_t bodyLength(const std::vector<std::uint64_t>& types);

// How well a serial type suits a column: below 0 it does not fit at all; 0
// fits without telling anything (NULL, a blob column); more is better.
int typeFit(std::uint64_t serialType, const TableColumn& column);

// Decodes one value from its body. Texts are converted to UTF-8; nothing when
// the text is not valid in the encoding or holds control bytes no stored text
// holds (NUL and the C0 controls but tab and line breaks), or when the value
// does not fit the column (an implausible date, a boolean other than 0 or 1).
std::optional<Value> decodeValue(std::uint64_t serialType, Bytes body, TextEncoding encoding,
                                 const TableColumn& column);

// Types checked against a table: the header may hold fewer types than the
// table has columns (columns added later read as NULL). The score is the sum
// of the fits; nothing when a type does not fit or the count is wrong.
std::optional<int> tableFit(const std::vector<std::uint64_t>& types, const TableSchema& table, bool allowShorter);

// Whether bytes read as text: valid UTF-8 without control bytes other than
// tab and line breaks.
bool looksLikeText(std::string_view bytes);

}  // namespace salvor::carve

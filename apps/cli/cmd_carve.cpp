// `salvor carve`: the deleted records of every table of any SQLite database,
// read from the file with its write-ahead log and rollback journal. The files
// are read into memory once and never changed.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <openssl/sha.h>

#include "carve/sqlite_image.h"
#include "carve/table_carver.h"
#include "cli.h"
#include "cli/json_writer.h"
#include "core/utf8.h"
#include "platform/log.h"

namespace salvor::cli {

namespace {

namespace carve = salvor::carve;

// Each file is held in memory whole while it is carved; past this size a file
// is refused rather than risk exhausting the machine's memory.
constexpr std::uint64_t kMaxFileBytes = 2ULL << 30;
constexpr const char* kMaxFileText = "2 GiB";
// Characters of a text shown in a cell of the readable table.
constexpr std::size_t kCellWidth = 40;
// Engine diagnostics shown without --verbose; a hostile file can cause thousands.
constexpr std::size_t kShownDiagnostics = 20;

struct Options {
    std::string database;
    std::string wal;
    std::string journal;
    bool json = false;
};

// The whole file at `path`, or the sentence that says why it cannot be read.
// A symbolic link, a device or a pipe is refused: only a regular file is a
// database that can be read without side effects.
std::optional<std::string> readWhole(const std::string& path, std::vector<std::uint8_t>& out) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        const int err = errno;
        if (err == ENOENT) return path + ": no such file";
        if (err == ELOOP) return path + " is a symbolic link; name the file it points to";
        if (err == EACCES) return path + " cannot be read: permission denied";
        return path + " cannot be opened: " + std::strerror(err);
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat st {};
    if (::fstat(fd, &st) != 0) return path + " cannot be read: " + std::strerror(errno);
    if (!S_ISREG(st.st_mode)) return path + " is not a regular file";
    const auto size = static_cast<std::uint64_t>(st.st_size);
    if (size > kMaxFileBytes)
        return path + " is larger than " + kMaxFileText + ", more than salvor carve reads into memory";
    out.resize(size);
    std::size_t got = 0;
    while (got < out.size()) {
        const ssize_t n = ::read(fd, out.data() + got, out.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return path + " cannot be read: " + std::strerror(errno);
        if (n == 0) break;  // the file shrank while it was read: keep what was there
        got += static_cast<std::size_t>(n);
    }
    out.resize(got);
    return std::nullopt;
}

// ---- values as text ----

// The shortest decimal form that reads back to the same double, with ".0" on
// an integral value so that a real never looks like an integer.
std::string realText(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-Inf" : "Inf";
    char digits[32];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    std::string text(digits, end);
    if (text.find_first_of(".e") == std::string::npos) text += ".0";
    return text;
}

// A text made safe for a terminal: control characters, the Unicode line and
// direction controls (which could rearrange what the terminal shows) and
// bytes that are not UTF-8 are written as escapes; a backslash is doubled so
// an escape cannot be forged by the text itself.
std::string displayText(std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t start = pos;
        char32_t cp = 0;
        if (!utf8::nextCodePoint(text, pos, cp)) {
            const auto b = static_cast<unsigned char>(text[start]);
            out += "\\x";
            out += kHex[b >> 4];
            out += kHex[b & 0xF];
            continue;
        }
        switch (cp) {
            case U'\\': out += "\\\\"; continue;
            case U'\n': out += "\\n"; continue;
            case U'\r': out += "\\r"; continue;
            case U'\t': out += "\\t"; continue;
            default: break;
        }
        if (cp < 0x20 || cp == 0x7F) {
            out += "\\x";
            out += kHex[cp >> 4];
            out += kHex[cp & 0xF];
        } else if ((cp >= 0x80 && cp <= 0x9F) || cp == 0x200E || cp == 0x200F || (cp >= 0x2028 && cp <= 0x202E) ||
                   (cp >= 0x2066 && cp <= 0x2069)) {
            out += "\\u";
            for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(cp >> shift) & 0xF];
        } else {
            out.append(text.substr(start, pos - start));
        }
    }
    return out;
}

// At most `width` characters: a longer text keeps its start and ends with "…".
std::string cut(const std::string& text, std::size_t width) {
    if (utf8::codePointCount(text) <= width) return text;
    std::size_t pos = 0;
    for (std::size_t n = 0; n + 1 < width && pos < text.size(); ++n) {
        char32_t cp = 0;
        utf8::nextCodePoint(text, pos, cp);
    }
    return text.substr(0, pos) + "…";
}

std::string cellText(const carve::Value& v) {
    using T = carve::Value::Type;
    switch (v.type) {
        case T::null: return "NULL";
        case T::integer: return std::to_string(v.integer);
        case T::real: return realText(v.real);
        case T::text: return cut(displayText(v.bytes), kCellWidth);
        case T::blob: return "<" + std::to_string(v.bytes.size()) + " bytes>";
    }
    return {};
}

std::string sha1Hex(std::string_view bytes) {
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), digest);
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : digest) {
        hex.push_back(kHex[c >> 4]);
        hex.push_back(kHex[c & 0xF]);
    }
    return hex;
}

// ---- the tables ----

// Every table of the schema, in the schema's order, with what the carving
// found in it (nothing for a table the carving did not report).
std::vector<carve::TableCarve> everyTable(const carve::DatabaseImage& image, carve::CarveReport& report) {
    std::vector<carve::TableCarve> tables = std::move(report.tables);
    std::set<std::string> reported;
    for (const auto& t : tables) reported.insert(t.schema.name);
    for (auto& schema : carve::readSchema(image).tables) {
        if (reported.contains(schema.name)) continue;
        carve::TableCarve empty;
        empty.schema = std::move(schema);
        tables.push_back(std::move(empty));
    }
    return tables;
}

// The row's values in column order, one per column.
std::vector<carve::Value> rowValues(const carve::TableCarve& table, const carve::CarvedRow& row) {
    std::vector<carve::Value> values = row.values;
    if (values.size() < table.schema.columns.size()) values.resize(table.schema.columns.size());
    return values;
}

void writeValue(JsonWriter& w, const carve::Value& v) {
    using T = carve::Value::Type;
    switch (v.type) {
        case T::null: w.null(); return;
        case T::integer: w.number(v.integer); return;
        case T::real: w.real(v.real); return;
        case T::text: w.string(v.bytes); return;
        case T::blob:
            w.beginObject();
            w.key("size");
            w.number(v.bytes.size());
            w.key("sha1");
            w.string(sha1Hex(v.bytes));
            w.endObject();
            return;
    }
    w.null();
}

bool writeJson(const std::string& file, const std::vector<carve::TableCarve>& tables) {
    JsonWriter w(stdout);
    w.beginObject();
    w.key("file");
    w.string(file);
    w.key("tables");
    w.beginArray();
    for (const auto& table : tables) {
        w.beginObject();
        w.key("table");
        w.string(table.schema.name);
        w.key("columns");
        w.beginArray();
        for (const auto& c : table.schema.columns) w.string(c.name);
        w.endArray();
        w.key("records");
        w.beginArray();
        for (const auto& row : table.deleted) {
            w.beginObject();
            w.key("values");
            w.beginArray();
            for (const auto& v : rowValues(table, row)) writeValue(w, v);
            w.endArray();
            w.key("carvedFrom");
            w.string(row.carvedFrom);
            w.key("page");
            w.number(row.page);
            w.key("partial");
            w.boolean(row.partial);
            // A lost row id told by the ids of the cells around it is said so.
            if (row.rowidInferred) {
                w.key("rowidInferred");
                w.boolean(true);
            }
            w.endObject();
        }
        w.endArray();
        w.endObject();
    }
    w.endArray();
    w.endObject();
    return w.finish();
}

void printTable(const carve::TableCarve& table) {
    const std::size_t n = table.deleted.size();
    std::printf("%s: %zu deleted record%s\n", displayText(table.schema.name).c_str(), n, n == 1 ? "" : "s");
    if (n == 0) {
        std::printf("\n");
        return;
    }
    // One row of cells per record, the header first; the last cell says where it was found.
    std::vector<std::vector<std::string>> rows;
    std::vector<std::string> header;
    for (const auto& c : table.schema.columns) header.push_back(cut(displayText(c.name), kCellWidth));
    header.push_back("found");
    rows.push_back(std::move(header));
    for (const auto& row : table.deleted) {
        std::vector<std::string> cells;
        for (const auto& v : rowValues(table, row)) cells.push_back(cellText(v));
        // Extra values of a row longer than the schema get no column.
        cells.resize(table.schema.columns.size());
        std::string found = displayText(row.carvedFrom) + " p" + std::to_string(row.page);
        if (row.partial) found += " (partial)";
        if (row.rowidInferred) found += " (id from its neighbours)";
        cells.push_back(std::move(found));
        rows.push_back(std::move(cells));
    }
    std::vector<std::size_t> widths(rows.front().size(), 0);
    for (const auto& cells : rows)
        for (std::size_t i = 0; i < cells.size(); ++i) widths[i] = std::max(widths[i], utf8::codePointCount(cells[i]));
    for (const auto& cells : rows) {
        std::string line;
        for (std::size_t i = 0; i < cells.size(); ++i) {
            if (i > 0) line += "  ";
            line += i + 1 < cells.size() ? column(cells[i], widths[i]) : cells[i];
        }
        std::printf("%s\n", line.c_str());
    }
    std::printf("\n");
}

// The engine's diagnostics, each once, on stderr: the first few always, the
// rest in the log that --verbose shows.
void printDiagnostics(const std::string& file, const std::vector<std::string>& first,
                      const std::vector<std::string>& second) {
    std::set<std::string> seen;
    std::size_t shown = 0;
    for (const auto* list : {&first, &second})
        for (const std::string& d : *list) {
            if (!seen.insert(d).second) continue;
            const std::string line = "salvor: " + file + ": " + displayText(d);
            if (shown++ < kShownDiagnostics) std::fprintf(stderr, "%s\n", line.c_str());
            else log::line(line, log::Level::Info);
        }
    if (shown > kShownDiagnostics)
        std::fprintf(stderr, "salvor: %s: %zu more diagnostic lines (--verbose shows them)\n", file.c_str(),
                     shown - kShownDiagnostics);
}

std::optional<Options> parse(const std::vector<std::string>& args) {
    Options o;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--json") o.json = true;
        else if (a == "--wal" || a == "--journal") {
            if (i + 1 >= args.size() || args[i + 1].empty()) {
                error("carve: " + a + " needs a file");
                return std::nullopt;
            }
            (a == "--wal" ? o.wal : o.journal) = args[++i];
        } else if (!a.empty() && a[0] == '-' && a != "-") {
            error("carve: unknown option '" + a + "'");
            return std::nullopt;
        } else if (o.database.empty()) o.database = a;
        else {
            error("carve: only one database can be carved at a time");
            return std::nullopt;
        }
    }
    if (o.database.empty()) {
        error("carve: name the SQLite database to carve");
        return std::nullopt;
    }
    return o;
}

// A companion named on the command line must be read; one found beside the
// database is read when it can be, and said so.
bool readCompanion(const std::string& given, const std::string& beside, const char* what,
                   std::vector<std::uint8_t>& out, bool& incomplete) {
    if (!given.empty()) {
        if (auto why = readWhole(given, out)) {
            error(*why);
            return false;
        }
        return true;
    }
    struct stat st {};
    if (::lstat(beside.c_str(), &st) != 0) return true;
    if (S_ISREG(st.st_mode) && st.st_size == 0) return true;  // an emptied log holds nothing
    if (auto why = readWhole(beside, out)) {
        std::fprintf(stderr, "salvor: warning: %s; carving without the %s\n", why->c_str(), what);
        out.clear();
        incomplete = true;
        return true;
    }
    std::fprintf(stderr, "salvor: reading the %s beside the database: %s\n", what, beside.c_str());
    return true;
}

}  // namespace

int cmdCarve(const std::vector<std::string>& args) {
    const auto options = parse(args);
    if (!options) return kExitUsage;
    const std::string& path = options->database;

    std::vector<std::uint8_t> file, wal, journal;
    if (auto why = readWhole(path, file)) {
        error(*why);
        return kExitFailure;
    }
    bool incomplete = false;
    if (!readCompanion(options->wal, path + "-wal", "write-ahead log", wal, incomplete)) return kExitFailure;
    if (!readCompanion(options->journal, path + "-journal", "rollback journal", journal, incomplete))
        return kExitFailure;
    // A database in WAL mode that was never checkpointed is an empty file beside its log.
    if (file.empty() && wal.empty()) {
        error(path + " is empty: there is no database to carve");
        return kExitFailure;
    }

    std::string why;
    const auto image = carve::DatabaseImage::open(file, wal, journal, &why);
    if (!image) {
        error(path + " is not a SQLite database" + (why.empty() ? std::string() : " (" + displayText(why) + ")"));
        return kExitFailure;
    }
    // A file whose header was overwritten may still hold a readable schema
    // (the engine says the header is missing); one without the header and
    // without any table is not a database at all.
    static constexpr std::string_view kMagic("SQLite format 3\0", 16);
    const bool headerMissing =
        !file.empty() && (file.size() < kMagic.size() || !std::equal(kMagic.begin(), kMagic.end(), file.begin()));

    std::atomic<bool> stopped{false};
    StopScope stop;
    stop.cancelWith([&stopped] { stopped = true; });
    carve::CarveOptions carveOptions;
    carveOptions.stopRequested = [&stopped] { return stopped.load(); };
    carve::CarveReport report = carve::carveDatabase(*image, carveOptions);
    if (stopSignal() != 0) {
        error("stopped");
        return stopExitCode();
    }
    const auto tables = everyTable(*image, report);
    if (file.empty() && tables.empty()) {
        error(path + " is empty and its log holds no table: there is no database to carve");
        return kExitFailure;
    }
    if (headerMissing && tables.empty()) {
        error(path + " is not a SQLite database (it does not begin with the SQLite header and holds no table)");
        return kExitFailure;
    }
    printDiagnostics(path, image->diagnostics(), report.diagnostics);

    if (options->json) {
        if (!writeJson(path, tables)) {
            error("could not write the carved records to the standard output (is the disk full?)");
            return kExitFailure;
        }
    } else {
        for (const auto& table : tables) printTable(table);
    }
    return incomplete ? kExitFailure : kExitOk;
}

}  // namespace salvor::cli

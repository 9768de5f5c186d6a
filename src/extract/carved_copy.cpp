#include "extract/carved_copy.h"

#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <filesystem>
#include <set>

#include "carve/sqlite_image.h"
#include "carve/table_carver.h"
#include "core/scan_context.h"
#include "core/stored_file.h"
#include "extract/modern_lookup.h"
#include "platform/log.h"

namespace salvor::modern {

namespace {

namespace fs = std::filesystem;

// The carving holds a file and its log in memory; larger ones keep their
// deleted records unsearched, and the person is told.
constexpr std::uint64_t kMaxCarvedBytes = std::uint64_t{1} << 30;
constexpr std::int64_t kFreshIds = CarvedCopy::kFreshIds;

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string sqlName(std::string_view name) {
    std::string q = "\"";
    for (char c : name) q += c == '"' ? std::string("\"\"") : std::string(1, c);
    return q + "\"";
}

struct Connection {
    sqlite3* db = nullptr;
    ~Connection() { sqlite3_close(db); }
    bool exec(const std::string& sql) const { return sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK; }
};

struct Statement {
    sqlite3_stmt* stmt = nullptr;
    ~Statement() { sqlite3_finalize(stmt); }
};

bool contains(const std::vector<std::string>& names, std::string_view name) {
    return std::any_of(names.begin(), names.end(), [&](const std::string& n) { return lower(n) == lower(name); });
}

}  // namespace

const CarvedOrigin* CarvedCopy::originOf(std::string_view table, std::int64_t rowid) const {
    const auto t = origins.find(lower(table));
    if (t == origins.end()) return nullptr;
    const auto r = t->second.find(rowid);
    return r == t->second.end() ? nullptr : &r->second;
}

std::optional<CarvedCopy> carvedCopy(ScanContext& ctx, const Found& found, const std::string& liveCopy,
                                     const CarvePlan& plan, const std::string& label) {
    if (found.stored.empty() || ctx.scanScratchDir.empty() || ctx.stopRequested()) return std::nullopt;
    // The stored file as the backup holds it, never the copy the live stage
    // folded its log into: the log's older frames are read here.
    std::string why;
    const auto file = readStoredFile(ctx.cipher.get(), found.stored, kMaxCarvedBytes, why);
    if (!file) {
        if (why == "it is too large")
            ctx.reportProblem("The database " + label + " is larger than 1 GiB, so it was not searched for deleted records.");
        else
            log::line(label + " not carved: " + why);
        return std::nullopt;
    }
    std::optional<std::vector<std::uint8_t>> wal;
    if (!found.log.empty()) {
        std::string walWhy;
        wal = readStoredFile(ctx.cipher.get(), found.log, kMaxCarvedBytes, walWhy);
        if (!wal) log::line(label + ": its log is not carved: " + walWhy);
    }
    std::string openWhy;
    const auto image = carve::DatabaseImage::open(*file, wal ? std::span<const std::uint8_t>(*wal) : std::span<const std::uint8_t>(),
                                                  {}, &openWhy);
    if (!image) {
        log::line(label + " not carved: " + openWhy);
        return std::nullopt;
    }
    carve::CarveOptions options;
    for (const auto& t : plan.mainTables) options.tables.insert(t);
    for (const auto& t : plan.joinTables) options.tables.insert(t);
    options.identityColumns = plan.identity;
    options.stopRequested = [&ctx] { return ctx.stopRequested(); };
    const carve::CarveReport report = carve::carveDatabase(*image, options);
    for (const std::string& line : report.diagnostics) log::line(label + ": " + line, log::Level::Debug);

    std::size_t deleted = 0;
    for (const auto& t : report.tables)
        if (contains(plan.mainTables, t.schema.name)) deleted += t.deleted.size();
    if (deleted == 0 || ctx.stopRequested()) return std::nullopt;

    CarvedCopy copy;
    static std::atomic<unsigned> serial{0};
    copy.path = (fs::path(ctx.scanScratchDir) / ("carved-" + std::to_string(serial++) + "-" + label)).string();
    std::error_code ec;
    fs::remove(copy.path, ec);
    Connection c;
    if (sqlite3_open_v2(copy.path.c_str(), &c.db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_URI, nullptr) != SQLITE_OK) {
        log::line(label + ": no private database for its deleted rows: " + (c.db ? sqlite3_errmsg(c.db) : "out of memory"));
        return std::nullopt;
    }
    c.exec("PRAGMA journal_mode=OFF");
    c.exec("PRAGMA synchronous=OFF");
    // The live copy is only read.
    const bool attached = !liveCopy.empty() && [&] {
        std::string uri = "file:";
        for (char ch : liveCopy) {
            if (ch == '%' || ch == '?' || ch == '#') {
                static const char* hex = "0123456789ABCDEF";
                uri += '%';
                uri += hex[static_cast<unsigned char>(ch) >> 4];
                uri += hex[ch & 15];
            } else {
                uri += ch;
            }
        }
        uri += "?mode=ro";
        Statement attach;
        if (sqlite3_prepare_v2(c.db, "ATTACH DATABASE ?1 AS live", -1, &attach.stmt, nullptr) != SQLITE_OK) return false;
        sqlite3_bind_text(attach.stmt, 1, uri.c_str(), -1, SQLITE_TRANSIENT);
        return sqlite3_step(attach.stmt) == SQLITE_DONE;
    }();
    c.exec("BEGIN");
    for (const carve::TableCarve& t : report.tables) {
        if (ctx.stopRequested()) return std::nullopt;
        const carve::TableSchema& s = t.schema;
        // The columns as declared, without constraints: a partial row, or
        // two versions of one row, is still written.
        std::string create = "CREATE TABLE " + sqlName(s.name) + " (", list;
        for (std::size_t i = 0; i < s.columns.size(); ++i) {
            if (i) create += ", ", list += ", ";
            create += sqlName(s.columns[i].name) + " " +
                      (static_cast<int>(i) == s.rowidColumn ? std::string("INTEGER PRIMARY KEY") : s.columns[i].declaredType);
            list += sqlName(s.columns[i].name);
        }
        create += ")";
        if (!c.exec(create)) continue;
        // Live rows first, so their ids stay theirs and joins find them.
        if (attached)
            c.exec("INSERT INTO main." + sqlName(s.name) + " (" + (s.rowidColumn >= 0 ? "" : "rowid, ") + list + ") SELECT " +
                   (s.rowidColumn >= 0 ? "" : "rowid, ") + list + " FROM live." + sqlName(s.name));
        std::string insert = "INSERT OR IGNORE INTO main." + sqlName(s.name) + " (" + (s.rowidColumn >= 0 ? "" : "rowid, ") + list +
                             ") VALUES (";
        const std::size_t params = s.columns.size() + (s.rowidColumn >= 0 ? 0 : 1);
        for (std::size_t i = 0; i < params; ++i) insert += i ? ", ?" : "?";
        insert += ")";
        Statement st;
        if (sqlite3_prepare_v2(c.db, insert.c_str(), -1, &st.stmt, nullptr) != SQLITE_OK) continue;
        const bool main = contains(plan.mainTables, s.name);
        std::uint64_t fresh = 0;
        auto& origins = copy.origins[lower(s.name)];
        for (const carve::CarvedRow& row : t.deleted) {
            // A carved row keeps its id unless a row of the private database
            // holds it already; then it gets one far above every id the phone
            // gave, so no join row of another deleted row can name it.
            for (const bool withId : {true, false}) {
                if (withId && !row.rowid) continue;
                const std::int64_t id = withId ? *row.rowid : kFreshIds + static_cast<std::int64_t>(fresh++);
                sqlite3_reset(st.stmt);
                sqlite3_clear_bindings(st.stmt);
                int p = 1;
                if (s.rowidColumn < 0) {
                    sqlite3_bind_int64(st.stmt, p, id);
                    ++p;
                }
                for (std::size_t i = 0; i < row.values.size() && i < s.columns.size(); ++i, ++p) {
                    const carve::Value& v = row.values[i];
                    if (static_cast<int>(i) == s.rowidColumn) {
                        sqlite3_bind_int64(st.stmt, p, id);
                        continue;
                    }
                    switch (v.type) {
                    case carve::Value::Type::null: break;
                    case carve::Value::Type::integer: sqlite3_bind_int64(st.stmt, p, v.integer); break;
                    case carve::Value::Type::real: sqlite3_bind_double(st.stmt, p, v.real); break;
                    case carve::Value::Type::text:
                        sqlite3_bind_text(st.stmt, p, v.bytes.data(), static_cast<int>(v.bytes.size()), SQLITE_TRANSIENT);
                        break;
                    case carve::Value::Type::blob:
                        sqlite3_bind_blob(st.stmt, p, v.bytes.data(), static_cast<int>(v.bytes.size()), SQLITE_TRANSIENT);
                        break;
                    }
                }
                if (sqlite3_step(st.stmt) != SQLITE_DONE || sqlite3_changes(c.db) == 0) continue;
                if (main) {
                    origins[id] = {row.carvedFrom, row.page};
                    ++copy.deleted_;
                }
                break;
            }
        }
    }
    c.exec("COMMIT");
    if (attached) c.exec("DETACH DATABASE live");
    log::line(label + ": " + std::to_string(copy.deleted_) + " deleted rows carved", log::Level::Info);
    return copy;
}

}  // namespace salvor::modern

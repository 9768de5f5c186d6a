#include "extract/carved_copy.h"

#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <filesystem>
#include <limits>
#include <map>
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

std::optional<double> number(const carve::Value& v) {
    if (v.type == carve::Value::Type::integer) return static_cast<double>(v.integer);
    if (v.type == carve::Value::Type::real) return v.real;
    return std::nullopt;
}

int columnIndex(const carve::TableSchema& s, std::string_view name) {
    for (std::size_t i = 0; i < s.columns.size(); ++i)
        if (lower(s.columns[i].name) == lower(name)) return static_cast<int>(i);
    return -1;
}

carve::TableCarve* tableOf(carve::CarveReport& report, std::string_view name) {
    for (carve::TableCarve& t : report.tables)
        if (lower(t.schema.name) == lower(name)) return &t;
    return nullptr;
}

// Gives lost ids back where creation times tell them (see CarvePlan).
void inferIdsByCreation(carve::CarveReport& report, const CarvePlan::IdsByCreation& rule, const Connection& c,
                        bool attached) {
    carve::TableCarve* table = tableOf(report, rule.table);
    if (!table) return;
    int created = -1;
    for (const std::string& name : rule.created)
        if ((created = columnIndex(table->schema, name)) >= 0) break;
    if (created < 0) return;
    std::vector<carve::CarvedRow*> lost;
    for (carve::CarvedRow& r : table->deleted)
        if (!r.rowid && !r.partial && number(r.values[static_cast<std::size_t>(created)])) lost.push_back(&r);
    if (lost.empty()) return;

    // Every row whose id is known, with its creation time when it has one.
    std::map<std::int64_t, std::optional<double>> known;
    const auto query = [&](const std::string& sql, const auto& each) {
        Statement st;
        if (sqlite3_prepare_v2(c.db, sql.c_str(), -1, &st.stmt, nullptr) != SQLITE_OK) return;
        while (sqlite3_step(st.stmt) == SQLITE_ROW) each(st.stmt);
    };
    if (attached)
        query("SELECT rowid, " + sqlName(table->schema.columns[static_cast<std::size_t>(created)].name) + " FROM live." +
                  sqlName(table->schema.name),
              [&](sqlite3_stmt* st) {
                  std::optional<double> when;
                  if (sqlite3_column_type(st, 1) == SQLITE_INTEGER || sqlite3_column_type(st, 1) == SQLITE_FLOAT)
                      when = sqlite3_column_double(st, 1);
                  known[sqlite3_column_int64(st, 0)] = when;
              });
    for (const carve::CarvedRow& r : table->deleted)
        if (r.rowid) known.emplace(*r.rowid, number(r.values[static_cast<std::size_t>(created)]));
    // The ids must rise with the time over every known row, or nothing is told.
    std::vector<std::pair<std::int64_t, double>> timeline;
    for (const auto& [id, when] : known)
        if (when) {
            if (!timeline.empty() && *when <= timeline.back().second) return;
            timeline.emplace_back(id, *when);
        }
    // Ids the other table names that no row holds.
    std::set<std::int64_t> named;
    if (attached)
        query("SELECT DISTINCT " + sqlName(rule.column) + " FROM live." + sqlName(rule.referencing) +
                  " WHERE typeof(" + sqlName(rule.column) + ") = 'integer'",
              [&](sqlite3_stmt* st) { named.insert(sqlite3_column_int64(st, 0)); });
    if (const carve::TableCarve* referencing = tableOf(report, rule.referencing))
        if (const int column = columnIndex(referencing->schema, rule.column); column >= 0)
            for (const carve::CarvedRow& r : referencing->deleted)
                if (const carve::Value& v = r.values[static_cast<std::size_t>(column)]; v.type == carve::Value::Type::integer)
                    named.insert(v.integer);
    // An AUTOINCREMENT table remembers the largest id it ever gave.
    std::int64_t largest = std::numeric_limits<std::int64_t>::max();
    if (attached)
        query("SELECT seq FROM live.sqlite_sequence WHERE name = '" + rule.table + "' COLLATE NOCASE",
              [&](sqlite3_stmt* st) { largest = sqlite3_column_int64(st, 0); });
    std::erase_if(named, [&](std::int64_t id) { return id <= 0 || id > largest || known.count(id); });
    if (named.empty()) return;

    std::sort(lost.begin(), lost.end(), [&](const carve::CarvedRow* a, const carve::CarvedRow* b) {
        return *number(a->values[static_cast<std::size_t>(created)]) < *number(b->values[static_cast<std::size_t>(created)]);
    });
    // The lost rows between two neighbours in time, and the free named ids
    // between theirs.
    for (std::size_t i = 0; i < lost.size();) {
        const double when = *number(lost[i]->values[static_cast<std::size_t>(created)]);
        const auto after = std::upper_bound(timeline.begin(), timeline.end(), when,
                                            [](double t, const std::pair<std::int64_t, double>& k) { return t < k.second; });
        if (after != timeline.begin() && std::prev(after)->second == when) {
            ++i;  // created with a known row: an older copy of it, no row of its own
            continue;
        }
        const double until = after == timeline.end() ? std::numeric_limits<double>::infinity() : after->second;
        std::size_t j = i;
        std::set<double> times;
        while (j < lost.size() && *number(lost[j]->values[static_cast<std::size_t>(created)]) < until)
            times.insert(*number(lost[j++]->values[static_cast<std::size_t>(created)]));
        const std::int64_t low = after == timeline.begin() ? 0 : std::prev(after)->first;
        const std::int64_t high = after == timeline.end() ? std::numeric_limits<std::int64_t>::max() : after->first;
        std::vector<std::int64_t> ids;
        for (auto it = named.upper_bound(low); it != named.end() && *it < high; ++it) ids.push_back(*it);
        if (ids.size() == j - i && times.size() == j - i)
            for (std::size_t k = i; k < j; ++k) {
                lost[k]->rowid = ids[k - i];
                lost[k]->rowidInferred = true;
                if (table->schema.rowidColumn >= 0) {
                    carve::Value& v = lost[k]->values[static_cast<std::size_t>(table->schema.rowidColumn)];
                    v.type = carve::Value::Type::integer;
                    v.integer = ids[k - i];
                }
            }
        i = j;
    }
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
    carve::CarveReport report = carve::carveDatabase(*image, options);
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
    for (const CarvePlan::IdsByCreation& rule : plan.idsByCreation) inferIdsByCreation(report, rule, c, attached);
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

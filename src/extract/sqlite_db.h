// A small RAII layer over the SQLite C interface for the extractors: one
// connection, its statements and its readers, each released on every path
// out of a reader.
//
// A category database comes from a device backup and may be damaged or
// hostile, so reading one is bounded and forgiving:
// - every read may run a number of virtual-machine steps that grows with the
//   size of the file, and SQLite's heap has a process-wide ceiling; when a
//   bound trips, the connection ends its reading with one diagnostic line and
//   the rows read so far are kept;
// - a read uses only names that are real tables (a view in their place could
//   run forever);
// - a damaged page costs only the rows it holds: a read continues after it,
//   and a row whose joined table cannot be read is taken without that table.
#pragma once

#include <sqlite3.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

namespace salvor::sqlite {

// Present and not empty: the only column values a reader takes over into a record.
inline bool hasText(const char* value) { return value != nullptr && value[0] != '\0'; }

// Integer part of a number column's text. SQLite prints large reals in
// exponent form ("4.5e+17"), so such texts are read as a floating-point number
// and truncated; anything unreadable is 0.
std::int64_t parseInteger(const char* text);

// How much work one read may do, in SQLite virtual-machine steps: stepFloor
// plus stepsPerKiB for each KiB of the file. A read of a real table costs
// some tens of steps per row (the messages of a 117 MB database of 320,000
// messages take 4.8 million steps, about 42 per KiB), so the allowance is
// hundreds of times what real data needs, while a query that never ends
// stops after work in proportion to the file (a quarter of a second for an
// 80 KB file, under a minute for 500 MB).
// A read also ends after timeFloor plus timePerMiB for each MiB of the file,
// for steps that cost far more than their count says (a module's own work).
struct Bounds {
    std::uint64_t stepFloor = 20'000'000;
    std::uint64_t stepsPerKiB = 8'000;
    std::chrono::steady_clock::duration timeFloor = std::chrono::seconds(30);
    std::chrono::steady_clock::duration timePerMiB = std::chrono::milliseconds(200);
};

// Ceiling on all of SQLite's memory in the process, set when the first
// database is opened. Reading needs a few MiB (page cache, automatic indexes,
// one row); the ceiling leaves room for a large picture or note while keeping
// a runaway query far from exhausting the machine.
inline constexpr std::int64_t kHeapLimit = std::int64_t{1} << 30;
// Largest single value a connection reads (SQLite's default is 1 GB).
inline constexpr int kValueLimit = 256 << 20;

// Applies the limits every connection to a file from a backup gets: the heap
// ceiling, the largest value, sizes and depths of statements (the schema's
// views and triggers are the file's), no attached databases, and temporary
// storage in memory only, where the heap ceiling bounds it.
void limitConnection(sqlite3* db);

class Database {
public:
    Database();
    // Opens an existing file read-write (never creates one); check ok(). Every
    // statement on the connection is interrupted (ends as if it had no more
    // rows) once `stop` is requested. `label` names the database in
    // diagnostic lines (e.g. "sms.db"); the file name when empty.
    explicit Database(const std::string& path, std::stop_token stop = {}, std::string label = {},
                      Bounds bounds = {});

    ~Database();
    Database(Database&&) noexcept;
    Database& operator=(Database&&) noexcept;

    bool ok() const;
    sqlite3* handle() const;
    void close();

    // What a name of the schema stands for (case-insensitive, as SQL names are).
    enum class Kind { Absent, Table, Other };
    Kind kindOf(const std::string& name) const;

    // --- used by Statement and Reader ---
    const std::string& label() const;
    // A bound has tripped: nothing more is read from this connection.
    bool exhausted() const;
    // Starts a new read: its step allowance begins again.
    void beginRead() const;
    // A statement starts: its time allowance begins.
    void startClock() const;
    // Classifies a failed step. True when the failure is in the data (a
    // damaged page, a value too large) and reading may go on elsewhere; false
    // when a bound tripped or the scan stopped, which ends all reading on the
    // connection (a bound with one diagnostic line).
    bool isDataFault(int rc) const;
    // After a prepare failed on a damaged schema, later statements skip the
    // schema's damaged entries; true when that was switched on just now.
    bool tolerateDamagedSchema() const;
    // Writes "<label>: <text>" to the log, once per key and connection.
    void report(const std::string& key, const std::string& text) const;
    // Tables found unreadable by an earlier read are not tried again.
    void markUnreadable(const std::string& table) const;
    bool isUnreadable(const std::string& table) const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

class Statement {
public:
    Statement(const Database& db, const std::string& sql);
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool ok() const { return stmt_ != nullptr; }
    bool bindInt(int index, std::int64_t value);
    // Binds a named parameter (":name"); false when the statement has none of that name.
    bool bindInt(const char* name, std::int64_t value);
    // True while a row is available.
    bool step() { return stepRc() == SQLITE_ROW; }
    // SQLITE_ROW, SQLITE_DONE or the error of the step.
    int stepRc();
    // Back to before the first row; bindings are kept.
    void reset();
    int columnCount() const;
    // Column text as SQLite renders it; null for NULL.
    const char* text(int col) const;
    std::int64_t int64(int col) const;
    // The blob's bytes (empty for NULL or zero length).
    std::vector<std::uint8_t> blob(int col) const;
    bool isNull(int col) const;
    sqlite3_stmt* raw() const { return stmt_; }

private:
    const Database* db_;
    sqlite3_stmt* stmt_ = nullptr;
};

// One statement, taken apart so that a read can add the main table's row id,
// go on after a given row, or leave out a damaged table:
// "select <columns> from <from> [where <where>]".
struct Query {
    std::string columns;
    std::string from;
    std::string where;                // without "where"; empty for none
    std::vector<std::string> tables;  // every table `from` names, the main table first
};

// A read of one table, with what to fall back on when its joined tables fail.
struct ReadPlan {
    Query query;                   // what the layout asks for
    std::vector<Query> fallbacks;  // the same columns from fewer tables, most complete first
};

// Steps through the rows of a plan. Rows come exactly as the plan's query
// gives them; only when that fails does the reader take a row from a fallback
// (a joined table is damaged, or is not a real table) or go on after the
// damaged rows of the main table. What was lost is written to the log in one
// line when the read ends.
class Reader {
public:
    // `binds` gives named parameters of the plan's conditions (":record").
    Reader(const Database& db, ReadPlan plan, std::vector<std::pair<std::string, std::int64_t>> binds = {});
    ~Reader();
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    // The query could be prepared: the database has the layout's tables and
    // columns (when a joined table is not a real table: a fallback could be).
    bool ok() const { return ok_; }
    // True while a row is available.
    bool step();
    int columnCount() const { return ok_ ? columns_ : 0; }
    const char* text(int col) const;
    std::int64_t int64(int col) const;
    std::vector<std::uint8_t> blob(int col) const;
    bool isNull(int col) const;
    // Some rows or joined values could not be read.
    bool lostSomething() const { return !skipped_.empty() || rowsWithout_ != 0 || restLost_; }

private:
    struct Variant {
        Query query;
        bool usable = true;
        std::unique_ptr<Statement> resume;  // "... where <main>.ROWID > :after order by <main>.ROWID"
    };
    enum class Recovery { Row, Continue, End };
    Statement* resumeAfter(std::size_t variant, std::int64_t after);
    Recovery recover();
    std::optional<std::int64_t> skipDamage(bool& bound);
    void noteRow();
    void finish();
    bool visible(int col) const { return cur_ != nullptr && col >= 0 && col < columns_; }

    const Database& db_;
    std::vector<std::pair<std::string, std::int64_t>> binds_;
    std::vector<Variant> variants_;  // the query, then its fallbacks
    std::unique_ptr<Statement> first_;
    Statement* cur_ = nullptr;
    std::size_t start_ = 0;    // the variant the read started with
    std::size_t primary_ = 0;  // the variant rows are read from
    std::size_t current_ = 0;  // the variant of the current row
    int columns_ = 0;
    bool ok_ = false;
    bool resumable_ = false;  // the main table's row id is read with every row
    bool done_ = false;
    bool finished_ = false;
    bool haveLast_ = false;
    bool ordered_ = true;
    bool backToPrimary_ = false;
    int fallbackRun_ = 0;
    std::int64_t last_ = 0;
    // What was lost, for the diagnostic line.
    std::uint64_t rowsWithout_ = 0;
    std::vector<std::string> dropped_;
    std::vector<std::pair<std::int64_t, std::int64_t>> skipped_;
    bool restLost_ = false;
};

// A whole result read at once, through a Reader. at(r, k) counts data rows from 0.
class Table {
public:
    Table(const Database& db, const ReadPlan& plan);

    bool ok() const { return ok_; }
    int rows() const { return rows_; }
    int columns() const { return cols_; }
    // Value of column k in data row r, or null for NULL / out of range.
    const char* at(int r, int k) const;

private:
    std::vector<std::string> cells_;
    std::vector<bool> present_;
    int rows_ = 0;
    int cols_ = 0;
    bool ok_ = false;
};

}  // namespace salvor::sqlite

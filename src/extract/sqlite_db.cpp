#include "extract/sqlite_db.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <mutex>
#include <system_error>

#include "platform/log.h"

namespace salvor::sqlite {

std::int64_t parseInteger(const char* text) {
    if (text == nullptr) return 0;
    errno = 0;
    char* end = nullptr;
    const long long whole = std::strtoll(text, &end, 10);
    if (end != text && *end != '.' && *end != 'e' && *end != 'E') {
        return static_cast<std::int64_t>(whole);
    }
    const double value = std::strtod(text, &end);
    if (end == text || std::isnan(value)) return 0;
    constexpr double kMax = 9.2e18;
    if (value >= kMax) return std::numeric_limits<std::int64_t>::max();
    if (value <= -kMax) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(value);
}

namespace {

// The progress handler runs every this many virtual-machine steps, and
// looks at the clock every kClockTicks runs.
constexpr int kTickSteps = 1000;
constexpr std::uint64_t kClockTicks = 64;

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

void applyHeapLimit() {
    static std::once_flag once;
    std::call_once(once, [] {
        const sqlite3_int64 current = sqlite3_hard_heap_limit64(-1);
        if (current <= 0 || current > kHeapLimit) sqlite3_hard_heap_limit64(kHeapLimit);
    });
}

// Size of the file and of its write-ahead log, in KiB, rounded up.
std::uint64_t fileKiB(const std::string& path) {
    std::error_code ec;
    std::uint64_t bytes = 0;
    for (const std::string& p : {path, path + "-wal"}) {
        const auto size = std::filesystem::file_size(p, ec);
        if (!ec) bytes += size;
    }
    return bytes / 1024 + 1;
}

}  // namespace

struct Database::State {
    sqlite3* db = nullptr;
    std::stop_token stop;
    std::string label;
    std::uint64_t maxSteps = 0;
    std::uint64_t maxTicks = 0;  // progress-handler calls one read may take
    std::uint64_t ticks = 0;
    std::chrono::steady_clock::duration maxTime{};
    std::chrono::steady_clock::time_point started;
    bool overBudget = false;
    bool overTime = false;
    bool exhausted = false;
    bool schemaTolerant = false;
    std::vector<std::string> reported;
    std::vector<std::string> unreadable;  // lower case

    ~State() {
        if (db != nullptr) sqlite3_close_v2(db);
    }

    // Ends all reading on the connection with one diagnostic line.
    void trip(const std::string& why) {
        if (exhausted) return;
        exhausted = true;
        log::line(label + ": reading stopped, " + why + "; the rows read so far are kept", log::Level::Error);
    }

    static int onProgress(void* p) {
        auto* s = static_cast<State*>(p);
        if (s->stop.stop_requested()) return 1;
        if (++s->ticks > s->maxTicks) {
            s->overBudget = true;
            return 1;
        }
        // A step that reads or writes much (a module's temporary files, a
        // slow disk) is not cheap: the clock bounds what the count cannot.
        if (s->ticks % kClockTicks == 0 && std::chrono::steady_clock::now() - s->started > s->maxTime) {
            s->overTime = true;
            return 1;
        }
        return 0;
    }
};

void limitConnection(sqlite3* db) {
    applyHeapLimit();
    sqlite3_limit(db, SQLITE_LIMIT_LENGTH, kValueLimit);
    // The schema's own statements (views, triggers, defaults, checks) come
    // from the file: their size and depth stay far below what could take the
    // parser or the code generator long, while real schemas never come near.
    sqlite3_limit(db, SQLITE_LIMIT_SQL_LENGTH, 1 << 20);
    sqlite3_limit(db, SQLITE_LIMIT_EXPR_DEPTH, 200);
    sqlite3_limit(db, SQLITE_LIMIT_COMPOUND_SELECT, 64);
    sqlite3_limit(db, SQLITE_LIMIT_VDBE_OP, 250'000);
    sqlite3_limit(db, SQLITE_LIMIT_FUNCTION_ARG, 32);
    sqlite3_limit(db, SQLITE_LIMIT_ATTACHED, 0);
    sqlite3_limit(db, SQLITE_LIMIT_LIKE_PATTERN_LENGTH, 1000);
    sqlite3_limit(db, SQLITE_LIMIT_TRIGGER_DEPTH, 8);
    sqlite3_limit(db, SQLITE_LIMIT_WORKER_THREADS, 0);
    // Temporary tables, indexes and sorts stay in memory, inside the heap
    // ceiling above: in files they would have no bound at all (a full-text
    // table over an endless view fills gigabytes within seconds).
    sqlite3_exec(db, "PRAGMA temp_store=MEMORY;", nullptr, nullptr, nullptr);
}

Database::Database(const std::string& path, std::stop_token stop, std::string label, Bounds bounds) {
    applyHeapLimit();
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        if (db != nullptr) sqlite3_close(db);
        return;
    }
    auto state = std::make_unique<State>();
    state->db = db;
    state->stop = std::move(stop);
    state->label = label.empty() ? std::filesystem::path(path).filename().string() : std::move(label);
    state->maxSteps = bounds.stepFloor + bounds.stepsPerKiB * fileKiB(path);
    state->maxTicks = state->maxSteps / kTickSteps + 1;
    state->maxTime = bounds.timeFloor + bounds.timePerMiB * static_cast<std::int64_t>(fileKiB(path) / 1024);
    limitConnection(db);
    // Asked every kTickSteps virtual-machine steps: a non-zero answer
    // interrupts the running statement, so neither a cancelled scan nor a
    // statement past its allowance waits for a long query to finish.
    sqlite3_progress_handler(db, kTickSteps, &State::onProgress, state.get());
    state_ = std::move(state);
}

Database::Database() = default;
Database::~Database() = default;
Database::Database(Database&&) noexcept = default;
Database& Database::operator=(Database&&) noexcept = default;

bool Database::ok() const { return state_ && state_->db != nullptr; }
sqlite3* Database::handle() const { return state_ ? state_->db : nullptr; }
void Database::close() { state_.reset(); }

const std::string& Database::label() const {
    static const std::string none;
    return state_ ? state_->label : none;
}

bool Database::exhausted() const { return !ok() || state_->exhausted; }

Database::Kind Database::kindOf(const std::string& name) const {
    if (!ok()) return Kind::Absent;
    // The table list tells what SQLite itself will run for the name: an
    // ordinary table ("table"), or a view, a virtual table (whose module may
    // compute rows without end or write temporary files without bound) or a
    // module's shadow table. The text in sqlite_master is not asked: any
    // spelling SQLite accepts would have to be recognised.
    Statement query(*this, "select type from pragma_table_list(:name) where schema = 'main'");
    sqlite3_stmt* st = query.raw();
    if (st == nullptr) return Kind::Absent;
    sqlite3_bind_text(st, 1, name.c_str(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
    Kind kind = Kind::Absent;
    int rc;
    while ((rc = query.stepRc()) == SQLITE_ROW) {
        const auto* type = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
        const bool real = type != nullptr && std::string(type) == "table";
        kind = real ? Kind::Table : Kind::Other;
        if (!real) break;
    }
    // A schema entry SQLite cannot even list (an unknown module) is no table to read.
    if (rc != SQLITE_ROW && rc != SQLITE_DONE && kind == Kind::Absent) {
        Statement entry(*this, "select 1 from sqlite_master where name = :name collate nocase");
        if (entry.raw() != nullptr) {
            sqlite3_bind_text(entry.raw(), 1, name.c_str(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
            if (entry.step()) kind = Kind::Other;
        }
    }
    return kind;
}

void Database::beginRead() const {
    if (!ok()) return;
    state_->ticks = 0;
    state_->overBudget = false;
    state_->overTime = false;
}

void Database::startClock() const {
    if (ok()) state_->started = std::chrono::steady_clock::now();
}

bool Database::isDataFault(int rc) const {
    if (!ok()) return false;
    switch (rc & 0xFF) {
        case SQLITE_INTERRUPT:
            if (state_->overBudget)
                state_->trip("a statement needed more than its bound of " + std::to_string(state_->maxSteps) +
                             " steps");
            if (state_->overTime)
                state_->trip("a statement took longer than its bound of " +
                             std::to_string(std::chrono::duration_cast<std::chrono::seconds>(state_->maxTime).count()) +
                             " seconds");
            state_->exhausted = true;  // a stopped scan reads nothing more either
            return false;
        case SQLITE_NOMEM:
            state_->trip("SQLite reached its memory bound of " + std::to_string(kHeapLimit >> 20) + " MiB");
            return false;
        default:
            return true;
    }
}

bool Database::tolerateDamagedSchema() const {
    if (!ok() || state_->schemaTolerant) return false;
    state_->schemaTolerant = true;
    // Only this connection to our private copy reads the schema this way; it
    // never writes.
    return sqlite3_exec(state_->db, "PRAGMA writable_schema=ON;", nullptr, nullptr, nullptr) == SQLITE_OK;
}

void Database::report(const std::string& key, const std::string& text) const {
    if (!ok()) return;
    auto& seen = state_->reported;
    if (std::find(seen.begin(), seen.end(), key) != seen.end()) return;
    seen.push_back(key);
    log::line(state_->label + ": " + text, log::Level::Error);
}

void Database::markUnreadable(const std::string& table) const {
    if (ok() && !isUnreadable(table)) state_->unreadable.push_back(lower(table));
}

bool Database::isUnreadable(const std::string& table) const {
    if (!ok()) return false;
    const auto& list = state_->unreadable;
    return std::find(list.begin(), list.end(), lower(table)) != list.end();
}

Statement::Statement(const Database& db, const std::string& sql) : db_(&db) {
    if (db.exhausted()) return;
    for (bool retry = false;; retry = true) {
        sqlite3_stmt* stmt = nullptr;
        const int rc = sqlite3_prepare_v2(db.handle(), sql.c_str(), -1, &stmt, nullptr);
        if (rc == SQLITE_OK) {
            stmt_ = stmt;
            if (retry) db.report("schema", "the schema is damaged; its unreadable entries are skipped");
            return;
        }
        if (stmt != nullptr) sqlite3_finalize(stmt);
        // A damaged entry of the schema makes every statement fail; a file
        // that is no database at all (SQLITE_NOTADB) is left alone.
        const bool schemaDamage = (rc & 0xFF) == SQLITE_CORRUPT ||
                                  std::string(sqlite3_errmsg(db.handle())).rfind("malformed database schema", 0) == 0;
        if (retry || !schemaDamage || !db.tolerateDamagedSchema()) return;
    }
}

Statement::~Statement() {
    if (stmt_ != nullptr) sqlite3_finalize(stmt_);
}

bool Statement::bindInt(int index, std::int64_t value) {
    return stmt_ != nullptr && sqlite3_bind_int64(stmt_, index, value) == SQLITE_OK;
}

bool Statement::bindInt(const char* name, std::int64_t value) {
    if (stmt_ == nullptr) return false;
    const int index = sqlite3_bind_parameter_index(stmt_, name);
    return index > 0 && sqlite3_bind_int64(stmt_, index, value) == SQLITE_OK;
}

int Statement::stepRc() {
    if (stmt_ == nullptr) return SQLITE_MISUSE;
    if (!sqlite3_stmt_busy(stmt_)) db_->startClock();
    return sqlite3_step(stmt_);
}

void Statement::reset() {
    if (stmt_ != nullptr) sqlite3_reset(stmt_);
}

int Statement::columnCount() const { return stmt_ != nullptr ? sqlite3_column_count(stmt_) : 0; }

const char* Statement::text(int col) const {
    if (col < 0 || col >= columnCount()) return nullptr;
    return reinterpret_cast<const char*>(sqlite3_column_text(stmt_, col));
}

std::int64_t Statement::int64(int col) const {
    if (col < 0 || col >= columnCount()) return 0;
    return sqlite3_column_int64(stmt_, col);
}

std::vector<std::uint8_t> Statement::blob(int col) const {
    if (col < 0 || col >= columnCount()) return {};
    const auto* data = static_cast<const std::uint8_t*>(sqlite3_column_blob(stmt_, col));
    const int size = sqlite3_column_bytes(stmt_, col);
    if (data == nullptr || size <= 0) return {};
    return {data, data + size};
}

bool Statement::isNull(int col) const {
    return col < 0 || col >= columnCount() || sqlite3_column_type(stmt_, col) == SQLITE_NULL;
}

}  // namespace salvor::sqlite

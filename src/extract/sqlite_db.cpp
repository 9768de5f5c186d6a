#include "extract/sqlite_db.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
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

// The progress handler runs every this many virtual-machine steps.
constexpr int kTickSteps = 1000;

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
    bool overBudget = false;
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
        return 0;
    }
};

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
    sqlite3_limit(db, SQLITE_LIMIT_LENGTH, kValueLimit);
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
    Statement query(*this, "select type, sql from sqlite_master where name = :name collate nocase");
    sqlite3_stmt* st = query.raw();
    if (st == nullptr) return Kind::Absent;
    sqlite3_bind_text(st, 1, name.c_str(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
    Kind kind = Kind::Absent;
    while (sqlite3_step(st) == SQLITE_ROW) {
        const auto* type = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
        const auto* sql = reinterpret_cast<const char*>(sqlite3_column_text(st, 1));
        // A virtual table is listed as a table but runs a module's code.
        const bool real = type != nullptr && std::string(type) == "table" &&
                          (sql == nullptr || lower(std::string(sql).substr(0, 14)) != "create virtual");
        kind = real ? Kind::Table : Kind::Other;
        if (!real) break;
    }
    return kind;
}

void Database::beginRead() const {
    if (!ok()) return;
    state_->ticks = 0;
    state_->overBudget = false;
}

bool Database::isDataFault(int rc) const {
    if (!ok()) return false;
    switch (rc & 0xFF) {
        case SQLITE_INTERRUPT:
            if (state_->overBudget)
                state_->trip("a statement needed more than its bound of " + std::to_string(state_->maxSteps) +
                             " steps");
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

Statement::Statement(const Database& db, const std::string& sql) {
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

int Statement::stepRc() { return stmt_ != nullptr ? sqlite3_step(stmt_) : SQLITE_MISUSE; }

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

#include "extract/sqlite_db.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>

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

Database::Database(const std::string& path) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
        db_ = db;
    } else if (db != nullptr) {
        sqlite3_close(db);
    }
}

Database::Database(const std::string& path, std::stop_token stop) : Database(path) {
    if (db_ == nullptr || !stop.stop_possible()) return;
    stop_ = std::make_unique<std::stop_token>(std::move(stop));
    // Asked every few thousand virtual-machine steps: a non-zero answer
    // interrupts the running statement, so a cancelled scan never waits for a
    // long query to finish.
    sqlite3_progress_handler(
        db_, 4000, [](void* token) -> int { return static_cast<std::stop_token*>(token)->stop_requested() ? 1 : 0; },
        stop_.get());
}

Database::~Database() { close(); }

void Database::close() {
    if (db_ != nullptr) {
        sqlite3_close_v2(db_);
        db_ = nullptr;
    }
}

Statement::Statement(const Database& db, const char* sql) {
    if (!db.ok()) return;
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db.handle(), sql, -1, &stmt, nullptr) == SQLITE_OK) {
        stmt_ = stmt;
    } else if (stmt != nullptr) {
        sqlite3_finalize(stmt);
    }
}

Statement::~Statement() {
    if (stmt_ != nullptr) sqlite3_finalize(stmt_);
}

bool Statement::bindInt(int index, std::int64_t value) {
    return stmt_ != nullptr && sqlite3_bind_int64(stmt_, index, value) == SQLITE_OK;
}

bool Statement::step() { return stmt_ != nullptr && sqlite3_step(stmt_) == SQLITE_ROW; }

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

Table::Table(const Database& db, const char* sql) {
    if (!db.ok()) return;
    char* error = nullptr;
    const int rc = sqlite3_get_table(db.handle(), sql, &result_, &rows_, &cols_, &error);
    if (error != nullptr) sqlite3_free(error);
    ok_ = rc == SQLITE_OK;
    if (!ok_) {
        rows_ = 0;
        cols_ = 0;
    }
}

Table::~Table() {
    if (result_ != nullptr) sqlite3_free_table(result_);
}

const char* Table::at(int r, int k) const {
    if (result_ == nullptr || r < 0 || r >= rows_ || k < 0 || k >= cols_) return nullptr;
    return result_[static_cast<std::size_t>(r + 1) * static_cast<std::size_t>(cols_) + static_cast<std::size_t>(k)];
}

}  // namespace salvor::sqlite

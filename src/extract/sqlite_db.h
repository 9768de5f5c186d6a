// A small RAII layer over the SQLite C interface for the extractors: one
// connection, one prepared statement and one table result, each released on
// every path out of a reader.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

namespace salvor::sqlite {

// Present and not empty: the only column values a reader takes over into a record.
inline bool hasText(const char* value) { return value != nullptr && value[0] != '\0'; }

// Integer part of a number column's text. SQLite prints large reals in
// exponent form ("4.5e+17"), so such texts are read as a floating-point number
// and truncated; anything unreadable is 0.
std::int64_t parseInteger(const char* text);

class Database {
public:
    Database() = default;
    // Opens an existing file read-write (never creates one); check ok().
    explicit Database(const std::string& path);
    // As above; every statement on the connection is interrupted (ends as if
    // it had no more rows) once `stop` is requested.
    Database(const std::string& path, std::stop_token stop);
    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;
    Database(Database&& other) noexcept : db_(other.db_), stop_(std::move(other.stop_)) { other.db_ = nullptr; }
    Database& operator=(Database&& other) noexcept {
        if (this != &other) {
            close();
            db_ = other.db_;
            stop_ = std::move(other.stop_);
            other.db_ = nullptr;
        }
        return *this;
    }

    bool ok() const { return db_ != nullptr; }
    sqlite3* handle() const { return db_; }
    void close();

private:
    sqlite3* db_ = nullptr;
    // Read by SQLite's progress handler; on the heap so a move keeps its address.
    std::unique_ptr<std::stop_token> stop_;
};

class Statement {
public:
    Statement(const Database& db, const char* sql);
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool ok() const { return stmt_ != nullptr; }
    bool bindInt(int index, std::int64_t value);
    // True while a row is available.
    bool step();
    int columnCount() const;
    // Column text as SQLite renders it; null for NULL.
    const char* text(int col) const;
    std::int64_t int64(int col) const;
    // The blob's bytes (empty for NULL or zero length).
    std::vector<std::uint8_t> blob(int col) const;
    bool isNull(int col) const;

private:
    sqlite3_stmt* stmt_ = nullptr;
};

// A whole result read at once (sqlite3_get_table). Row 0 of the raw result
// holds the column names; at(r, k) counts data rows from 0.
class Table {
public:
    Table(const Database& db, const char* sql);
    ~Table();
    Table(const Table&) = delete;
    Table& operator=(const Table&) = delete;

    bool ok() const { return ok_; }
    int rows() const { return rows_; }
    int columns() const { return cols_; }
    // Value of column k in data row r, or null for NULL / out of range.
    const char* at(int r, int k) const;

private:
    char** result_ = nullptr;
    int rows_ = 0;
    int cols_ = 0;
    bool ok_ = false;
};

}  // namespace salvor::sqlite

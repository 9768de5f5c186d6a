// Damaged databases for the readers' tests: a garbage page in place of a
// table's page, or an endless view in place of a table.
#include <sqlite3.h>

#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "forge/forge.h"

namespace salvor::forge {

namespace {

class Connection {
public:
    explicit Connection(const std::string& path) {
        if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
            sqlite3_close(db_);
            throw std::runtime_error("forge: cannot open " + path);
        }
    }
    ~Connection() { sqlite3_close(db_); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // The integer results of `sql` with `text` bound to its parameter.
    std::vector<long long> integers(const std::string& sql, const std::string& text) {
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
            sqlite3_finalize(st);
            throw std::runtime_error(std::string("forge: ") + sqlite3_errmsg(db_));
        }
        sqlite3_bind_text(st, 1, text.c_str(), -1, SQLITE_TRANSIENT);
        std::vector<long long> out;
        while (sqlite3_step(st) == SQLITE_ROW) out.push_back(sqlite3_column_int64(st, 0));
        sqlite3_finalize(st);
        return out;
    }
    void exec(const std::string& sql) {
        char* err = nullptr;
        if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
            const std::string msg = err ? err : "";
            sqlite3_free(err);
            throw std::runtime_error("forge: " + msg);
        }
    }

private:
    sqlite3* db_ = nullptr;
};

}  // namespace

int damageTablePage(const std::string& dbPath, const std::string& table, bool middleLeaf) {
    long long page = 0;
    long long pageSize = 0;
    {
        Connection db(dbPath);
        pageSize = db.integers("pragma page_size", "").at(0);
        // dbstat lists a table's pages; leaves in key order follow their path.
        const char* sql = middleLeaf ? "select pageno from dbstat where name = ?1 and pagetype = 'leaf' order by path"
                                     : "select rootpage from sqlite_master where type = 'table' and name = ?1";
        const auto pages = db.integers(sql, table);
        if (pages.empty()) throw std::runtime_error("forge: no table " + table + " in " + dbPath);
        page = pages[pages.size() / 2];
    }
    std::fstream file(dbPath, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp((page - 1) * pageSize);
    const std::string garbage(static_cast<std::size_t>(pageSize), '\xA5');
    file.write(garbage.data(), static_cast<std::streamsize>(garbage.size()));
    if (!file) throw std::runtime_error("forge: cannot write " + dbPath);
    return static_cast<int>(page);
}

void replaceWithEndlessView(const std::string& dbPath, const std::string& table,
                            const std::vector<std::string>& columns) {
    Connection db(dbPath);
    if (db.integers("select count(*) from sqlite_master where type = 'table' and name = ?1", table).at(0) == 0)
        throw std::runtime_error("forge: no table " + table + " in " + dbPath);
    std::string select;
    for (const std::string& c : columns) select += (select.empty() ? "" : ", ") + std::string("x AS ") + c;
    db.exec("DROP TABLE " + table + "; CREATE VIEW " + table +
            " AS WITH RECURSIVE r(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM r) SELECT " + select + " FROM r;");
}

}  // namespace salvor::forge

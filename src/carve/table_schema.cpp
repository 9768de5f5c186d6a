// The tables of a database as its schema declares them, read from the file's
// own pages: the schema table's rows are found through its b-tree (page 1,
// overflow followed), and each CREATE TABLE statement is handed to SQLite's
// own parser in an empty in-memory database, which knows every quoting and
// constraint form the file's writer may have used.
#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>
#include <set>

#include "carve/btree_walk.h"
#include "carve/carve_record.h"
#include "carve/record_decoder.h"
#include "carve/table_carver.h"

namespace salvor::carve {

namespace {

std::string upper(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

// SQLite's affinity rules for a declared type.
char affinityOf(std::string_view declared) {
    const std::string t = upper(declared);
    if (t.find("INT") != std::string::npos) return 'i';
    if (t.find("CHAR") != std::string::npos || t.find("CLOB") != std::string::npos || t.find("TEXT") != std::string::npos)
        return 't';
    if (t.empty() || t.find("BLOB") != std::string::npos) return 'b';
    if (t.find("REAL") != std::string::npos || t.find("FLOA") != std::string::npos || t.find("DOUB") != std::string::npos)
        return 'r';
    return 'n';
}

TableColumn column(std::string name, std::string declared) {
    TableColumn c;
    const std::string n = upper(name), t = upper(declared);
    c.affinity = affinityOf(declared);
    // Numbers in columns named for a date or time are dates; a text there
    // (a time zone's name) is left to the affinity.
    c.isDate = n.find("DATE") != std::string::npos || n.find("TIME") != std::string::npos ||
               t.find("DATE") != std::string::npos || t.find("TIME") != std::string::npos;
    c.isBoolean = t == "BOOL" || t == "BOOLEAN";
    c.name = std::move(name);
    c.declaredType = std::move(declared);
    return c;
}

struct SqliteCloser {
    void operator()(sqlite3* db) const { sqlite3_close(db); }
};

// Any collation a statement names is accepted: the parse needs only the name.
int dummyCollation(void*, int a, const void* x, int b, const void* y) {
    const int n = std::min(a, b);
    const int c = n ? std::memcmp(x, y, static_cast<std::size_t>(n)) : 0;
    return c ? c : a - b;
}

void registerCollation(void*, sqlite3* db, int, const char* name) {
    sqlite3_create_collation(db, name, SQLITE_UTF8, nullptr, dummyCollation);
}

class StatementParser {
public:
    StatementParser() {
        sqlite3* raw = nullptr;
        if (sqlite3_open_v2(":memory:", &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
            sqlite3_close(raw);
            return;
        }
        db_.reset(raw);
        sqlite3_limit(raw, SQLITE_LIMIT_SQL_LENGTH, 1 << 20);
        sqlite3_limit(raw, SQLITE_LIMIT_COLUMN, static_cast<int>(kMaxColumns));
        sqlite3_limit(raw, SQLITE_LIMIT_EXPR_DEPTH, 100);
        sqlite3_collation_needed(raw, nullptr, registerCollation);
    }

    // The columns of the one CREATE TABLE statement `sql` names `name` with.
    std::optional<TableSchema> parse(const std::string& name, const std::string& sql) {
        if (!db_) return std::nullopt;
        const std::string head = upper(sql.substr(0, 64));
        if (head.find("CREATE") != 0 || head.find("VIRTUAL") != std::string::npos) return std::nullopt;
        sqlite3_stmt* stmt = nullptr;
        const char* tail = nullptr;
        if (sqlite3_prepare_v2(db_.get(), sql.c_str(), static_cast<int>(sql.size()), &stmt, &tail) != SQLITE_OK) {
            sqlite3_finalize(stmt);
            return std::nullopt;
        }
        // One statement only, and it must create a table.
        const bool single = tail && std::all_of(tail, sql.c_str() + sql.size(), [](char c) {
            return std::isspace(static_cast<unsigned char>(c)) || c == ';';
        });
        const bool ok = single && stmt && sqlite3_stmt_readonly(stmt) == 0 && sqlite3_step(stmt) == SQLITE_DONE;
        sqlite3_finalize(stmt);
        if (!ok) return std::nullopt;
        TableSchema table;
        table.name = name;
        int pkCount = 0, pkColumn = -1;
        sqlite3_stmt* info = nullptr;
        if (sqlite3_prepare_v2(db_.get(), "select name, type, pk, hidden from pragma_table_xinfo(?1)", -1, &info,
                               nullptr) == SQLITE_OK) {
            sqlite3_bind_text(info, 1, name.c_str(), -1, SQLITE_TRANSIENT);
            while (sqlite3_step(info) == SQLITE_ROW) {
                // A virtual generated column is computed, never stored.
                if (sqlite3_column_int(info, 3) == 2) continue;
                const auto text = [&](int i) {
                    const auto* p = sqlite3_column_text(info, i);
                    return p ? std::string(reinterpret_cast<const char*>(p)) : std::string();
                };
                if (sqlite3_column_int(info, 2) > 0) {
                    ++pkCount;
                    pkColumn = static_cast<int>(table.columns.size());
                }
                table.columns.push_back(column(text(0), text(1)));
            }
        }
        sqlite3_finalize(info);
        sqlite3_stmt* list = nullptr;
        if (sqlite3_prepare_v2(db_.get(), "select wr from pragma_table_list where name = ?1", -1, &list, nullptr) == SQLITE_OK) {
            sqlite3_bind_text(list, 1, name.c_str(), -1, SQLITE_TRANSIENT);
            if (sqlite3_step(list) == SQLITE_ROW) table.withoutRowid = sqlite3_column_int(list, 0) != 0;
        }
        sqlite3_finalize(list);
        // Only a lone primary-key column declared exactly INTEGER is the row
        // id's alias (and so stored as NULL in every record).
        if (!table.withoutRowid && pkCount == 1 && upper(table.columns[static_cast<std::size_t>(pkColumn)].declaredType) == "INTEGER")
            table.rowidColumn = pkColumn;
        // The statement is dropped again so a later table may reuse a name.
        const std::string drop = "drop table \"" + [&] {
            std::string q;
            for (char c : name) q += c == '"' ? std::string("\"\"") : std::string(1, c);
            return q;
        }() + "\"";
        sqlite3_exec(db_.get(), drop.c_str(), nullptr, nullptr, nullptr);
        if (table.columns.empty()) return std::nullopt;
        return table;
    }

private:
    std::unique_ptr<sqlite3, SqliteCloser> db_;
};

// A declared type of the given affinity, for a column read without SQLite.
std::string declaredFor(char kind) {
    switch (kind) {
    case 'i': return "INTEGER";
    case 't': return "TEXT";
    case 'r': return "REAL";
    case 'n': return "NUMERIC";
    default: return "";
    }
}

// The internal tables SQLite makes itself, whose names no statement may create.
std::optional<TableSchema> internalTable(const std::string& name) {
    TableSchema t;
    t.name = name;
    if (name == "sqlite_sequence") {
        t.columns = {column("name", ""), column("seq", "")};
        return t;
    }
    if (name == "sqlite_stat1") {
        t.columns = {column("tbl", ""), column("idx", ""), column("stat", "")};
        return t;
    }
    return std::nullopt;
}

// The schema table's own layout.
TableSchema schemaTable() {
    TableSchema t;
    t.name = "sqlite_master";
    t.rootPage = 1;
    t.columns = {column("type", "text"), column("name", "text"), column("tbl_name", "text"), column("rootpage", "int"),
                 column("sql", "text")};
    return t;
}

}  // namespace

Schema readSchema(const DatabaseImage& image, std::vector<std::string>* diagnostics) {
    Schema schema;
    StatementParser parser;
    const TableSchema master = schemaTable();
    std::set<std::string> seen;
    BtreeWalk walk(image);
    walk.walkTable(1, [&](const LiveCell& cell) {
        std::vector<Value> values;
        if (!walk.decode(cell, master, values) || values.size() < 5) return;
        const auto text = [&](std::size_t i) { return values[i].type == Value::Type::text ? values[i].bytes : std::string(); };
        const std::string type = text(0), name = text(1), sql = text(4);
        const std::int64_t root = values[3].type == Value::Type::integer ? values[3].integer : 0;
        if (root <= 0 || root > image.pageCount()) return;
        if (type == "index") {
            schema.indexRoots.push_back(static_cast<std::uint32_t>(root));
            return;
        }
        if (type != "table" || !seen.insert(name).second) return;
        std::optional<TableSchema> table = name.rfind("sqlite_", 0) == 0 ? internalTable(name) : parser.parse(name, sql);
        if (!table) {
            // A statement SQLite's parser refused (a syntax of another
            // version): the columns as a plain reading of it finds them.
            if (auto layout = tableLayoutIn(sql, name)) {
                table = TableSchema{};
                table->name = name;
                for (std::size_t i = 0; i < layout->names.size(); ++i)
                    table->columns.push_back(column(layout->names[i], declaredFor(layout->kinds[i])));
                const std::string u = upper(sql);
                if (const auto at = u.find("INTEGER PRIMARY KEY"); at != std::string::npos && !table->columns.empty()) {
                    for (std::size_t i = 0; i < table->columns.size(); ++i)
                        if (u.find(upper(table->columns[i].name) + " INTEGER PRIMARY KEY") != std::string::npos)
                            table->rowidColumn = static_cast<int>(i);
                }
            }
        }
        if (!table) {
            if (diagnostics && name.rfind("sqlite_", 0) != 0)
                diagnostics->push_back("the table " + name + " has a statement that could not be read; it is not carved");
            return;
        }
        table->rootPage = static_cast<std::uint32_t>(root);
        schema.tables.push_back(std::move(*table));
    });
    if (diagnostics)
        for (const std::string& line : walk.diagnostics()) diagnostics->push_back("schema: " + line);
    return schema;
}

}  // namespace salvor::carve

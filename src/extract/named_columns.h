// Columns of a table chosen by name. Newer stores append columns every year
// and occasionally rebuild a table with a different order, so a reader of
// them asks the table for its columns first and never reads by position.
#pragma once

#include <algorithm>
#include <cctype>
#include <initializer_list>
#include <set>
#include <string>
#include <vector>

#include "extract/sqlite_db.h"

namespace salvor::extract_detail {

class NamedColumns {
public:
    // The columns of `table` when it is a real table of `db`; none otherwise.
    NamedColumns(const sqlite::Database& db, std::string table) : table_(std::move(table)) {
        if (db.kindOf(table_) != sqlite::Database::Kind::Table) return;
        sqlite::Statement info(db, "PRAGMA table_info(\"" + table_ + "\")");
        while (info.ok() && info.step())
            if (const char* name = info.text(1)) names_.insert(upper(name));
    }

    bool exists() const { return !names_.empty(); }
    bool has(const std::string& name) const { return names_.count(upper(name)) != 0; }
    // The first of `names` the table has; empty when it has none of them.
    std::string first(std::initializer_list<const char*> names) const {
        for (const char* n : names)
            if (has(n)) return n;
        return {};
    }
    // A select-list entry: the qualified column, or NULL when the table lacks it.
    std::string pick(const std::string& name) const {
        return !name.empty() && has(name) ? table_ + "." + name : std::string("NULL");
    }
    // A plan reading `names` (by pick) from this table alone.
    sqlite::ReadPlan plan(const std::vector<std::string>& names) const {
        std::string list;
        for (const std::string& n : names) {
            if (!list.empty()) list += ',';
            list += pick(n);
        }
        return {{list, table_, "", {table_}}, {}};
    }

private:
    static std::string upper(std::string s) {
        std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::toupper(c); });
        return s;
    }
    std::string table_;
    std::set<std::string> names_;
};

}  // namespace salvor::extract_detail

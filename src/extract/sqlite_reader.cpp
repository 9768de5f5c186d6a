// Reading a table of a possibly damaged database: the rows come exactly as
// the plan's query gives them, and only a failure changes how they are read.
//
// Every statement reads the main table's row id as a hidden last column.
// When a step fails on damaged data after row id L:
// 1. the next row is taken from the first fallback that can read it (the
//    joined table holding that row's values is damaged); after a few such rows
//    in a row that fallback becomes the way to read the rest;
// 2. when no fallback can read it either, the main table is damaged there:
//    row ids after L are probed, doubling the distance and then halving it,
//    for the first one from which the main table reads again, and the read
//    goes on from there. Only the rows of the damaged pages are lost.
#include <algorithm>
#include <cctype>
#include <climits>
#include <limits>

#include "extract/sqlite_db.h"

namespace salvor::sqlite {

namespace {

// Rows in a row taken from a fallback before it becomes the way to read.
constexpr int kFallbackRun = 8;

std::string sqlOf(const Query& q, bool withRowId, bool resume) {
    const std::string& main = q.tables.front();
    std::string sql = "select " + q.columns;
    if (withRowId) sql += ", " + main + ".ROWID";
    sql += " from " + q.from;
    if (resume) {
        sql += " where ";
        if (!q.where.empty()) sql += "(" + q.where + ") and ";
        sql += main + ".ROWID > :after order by " + main + ".ROWID";
    } else if (!q.where.empty()) {
        sql += " where " + q.where;
    }
    return sql;
}

bool sameName(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

bool names(const std::vector<std::string>& list, const std::string& name) {
    return std::any_of(list.begin(), list.end(), [&](const std::string& t) { return sameName(t, name); });
}

std::string lowerName(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

Reader::Reader(const Database& db, ReadPlan plan, std::vector<std::pair<std::string, std::int64_t>> binds)
    : db_(db), binds_(std::move(binds)) {
    if (db_.exhausted() || plan.query.tables.empty()) return;
    db_.beginRead();
    variants_.push_back({std::move(plan.query)});
    for (Query& q : plan.fallbacks)
        if (!q.tables.empty()) variants_.push_back({std::move(q)});

    // Only real tables are read: a view or a virtual table in place of one
    // could run without end. A read leaves such a joined table out.
    std::vector<std::string> seen, notTables;
    const std::string& mainTable = variants_.front().query.tables.front();
    for (const Variant& v : variants_) {
        for (const std::string& table : v.query.tables) {
            if (names(seen, table)) continue;
            seen.push_back(table);
            if (db_.kindOf(table) != Database::Kind::Other) continue;
            notTables.push_back(table);
            const char* consequence = sameName(table, mainTable) ? "it is not read" : "reading without it";
            db_.report("kind:" + lowerName(table), "\"" + table + "\" is not a table; " + consequence);
        }
    }
    for (Variant& v : variants_)
        v.usable = std::none_of(v.query.tables.begin(), v.query.tables.end(),
                                [&](const std::string& t) { return names(notTables, t); });

    // The first usable statement: the query itself, or, when one of its
    // joined tables is not a table, the first fallback. A query that cannot
    // be prepared means the database has another layout.
    for (std::size_t i = 0; i < variants_.size() && !first_; ++i) {
        if (!variants_[i].usable) continue;
        auto st = std::make_unique<Statement>(db_, sqlOf(variants_[i].query, true, false));
        resumable_ = st->ok();
        if (!st->ok()) st = std::make_unique<Statement>(db_, sqlOf(variants_[i].query, false, false));
        if (!st->ok()) {
            if (i == 0) return;
            continue;
        }
        for (const auto& [name, value] : binds_) st->bindInt(name.c_str(), value);
        first_ = std::move(st);
        primary_ = current_ = start_ = i;
    }
    if (!first_) return;
    ok_ = true;
    columns_ = first_->columnCount() - (resumable_ ? 1 : 0);
    cur_ = first_.get();
    // An earlier read found nothing readable in this table.
    done_ = db_.isUnreadable(mainTable);
}

Reader::~Reader() {
    try {
        finish();
    } catch (...) {
        // A diagnostic line that cannot be written is not worth more than the read.
    }
}

bool Reader::step() {
    if (!ok_ || done_) return false;
    for (;;) {
        if (backToPrimary_) {
            backToPrimary_ = false;
            if (Statement* s = resumeAfter(primary_, last_)) {
                cur_ = s;
                current_ = primary_;
            }
        }
        const int rc = cur_->stepRc();
        if (rc == SQLITE_ROW) {
            noteRow();
            return true;
        }
        if (rc == SQLITE_DONE || !db_.isDataFault(rc)) break;
        const Recovery r = recover();
        if (r == Recovery::Row) {
            noteRow();
            return true;
        }
        if (r == Recovery::End) break;
    }
    finish();
    return false;
}

void Reader::noteRow() {
    if (resumable_) {
        const std::int64_t id = cur_->int64(columns_);
        if (haveLast_ && id < last_) ordered_ = false;
        last_ = id;
        haveLast_ = true;
    }
    if (current_ == primary_) fallbackRun_ = 0;
    if (current_ == start_) return;
    ++rowsWithout_;
    for (const std::string& table : variants_[start_].query.tables)
        if (!names(variants_[current_].query.tables, table) && !names(dropped_, table)) dropped_.push_back(table);
}

Statement* Reader::resumeAfter(std::size_t variant, std::int64_t after) {
    Variant& v = variants_[variant];
    if (!v.usable) return nullptr;
    if (!v.resume) {
        v.resume = std::make_unique<Statement>(db_, sqlOf(v.query, true, true));
        // A fallback must give the same columns as the query.
        if (!v.resume->ok() || v.resume->columnCount() != columns_ + 1) {
            v.resume.reset();
            v.usable = false;
            return nullptr;
        }
        for (const auto& [name, value] : binds_) v.resume->bindInt(name.c_str(), value);
    }
    v.resume->reset();
    v.resume->bindInt(":after", after);
    return v.resume.get();
}

Reader::Recovery Reader::recover() {
    // Without row ids in order there is no "after" to go on from.
    if (!resumable_ || !ordered_) {
        restLost_ = true;
        return Recovery::End;
    }
    const std::int64_t from = haveLast_ ? last_ : std::numeric_limits<std::int64_t>::min();

    // A joined table may hold the damage: the next row without it.
    for (std::size_t k = current_ + 1; k < variants_.size(); ++k) {
        Statement* s = resumeAfter(k, from);
        if (s == nullptr) continue;
        const int rc = s->stepRc();
        if (rc == SQLITE_ROW) {
            cur_ = s;
            current_ = k;
            if (++fallbackRun_ >= kFallbackRun)
                primary_ = k;
            else
                backToPrimary_ = true;
            return Recovery::Row;
        }
        if (rc == SQLITE_DONE) return Recovery::End;
        if (!db_.isDataFault(rc)) return Recovery::End;
    }

    // The main table itself is damaged here.
    bool bound = false;
    const std::optional<std::int64_t> after = skipDamage(bound);
    if (!after) {
        if (!bound) restLost_ = true;
        return Recovery::End;
    }
    skipped_.emplace_back(haveLast_ ? last_ + 1 : std::numeric_limits<std::int64_t>::min(), *after);
    Statement* s = resumeAfter(primary_, *after);
    if (s == nullptr) {
        restLost_ = true;
        return Recovery::End;
    }
    cur_ = s;
    current_ = primary_;
    last_ = *after;
    haveLast_ = true;
    return Recovery::Continue;
}

std::optional<std::int64_t> Reader::skipDamage(bool& bound) {
    // Probed with the last usable variant, the one with the fewest tables.
    std::size_t probeWith = variants_.size();
    for (std::size_t k = variants_.size(); k-- > 0;) {
        if (variants_[k].usable) {
            probeWith = k;
            break;
        }
    }
    if (probeWith == variants_.size()) return std::nullopt;
    // 1: rows after `after` can be read again, 0: not, -1: give up.
    auto probe = [&](std::int64_t after) {
        Statement* s = resumeAfter(probeWith, after);
        if (s == nullptr) return -1;
        const int rc = s->stepRc();
        s->reset();
        if (rc == SQLITE_ROW || rc == SQLITE_DONE) return 1;
        if (!db_.isDataFault(rc)) {
            bound = true;
            return -1;
        }
        return 0;
    };
    // Row ids are probed in unsigned arithmetic, which wraps exactly where
    // the signed values would overflow. Nothing read yet: the damage starts
    // at the first row, and row ids start at 1.
    const auto lo = static_cast<std::uint64_t>(haveLast_ ? last_ : 0);
    const std::uint64_t room = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) - lo;
    std::uint64_t bad = 0;  // distances from lo
    std::uint64_t good = 0;
    for (int k = 0; good == 0; ++k) {
        if (k == 64 || (std::uint64_t{1} << k) > room) return std::nullopt;  // nothing readable after the damage
        const std::uint64_t d = std::uint64_t{1} << k;
        const int r = probe(static_cast<std::int64_t>(lo + d));
        if (r < 0) return std::nullopt;
        (r > 0 ? good : bad) = d;
    }
    while (good - bad > 1) {
        const std::uint64_t mid = bad + (good - bad) / 2;
        const int r = probe(static_cast<std::int64_t>(lo + mid));
        if (r < 0) return std::nullopt;
        (r > 0 ? good : bad) = mid;
    }
    return static_cast<std::int64_t>(lo + good);
}

void Reader::finish() {
    done_ = true;
    if (finished_ || !ok_) return;
    finished_ = true;
    if (!lostSomething()) return;
    const std::string& main = variants_.front().query.tables.front();
    if (restLost_ && !haveLast_ && skipped_.empty()) db_.markUnreadable(main);

    std::vector<std::string> parts;
    if (!skipped_.empty()) {
        std::string part = "rows of " + main + " could not be read (row ids";
        constexpr std::size_t kShown = 3;
        for (std::size_t i = 0; i < skipped_.size() && i < kShown; ++i) {
            const auto& [from, to] = skipped_[i];
            part += (i ? ", " : " ") + (from <= 0 ? std::string("up to ") : std::to_string(from) + "-") +
                    std::to_string(to);
        }
        if (skipped_.size() > kShown) part += " and " + std::to_string(skipped_.size() - kShown) + " more ranges";
        parts.push_back(part + ")");
    }
    if (rowsWithout_ != 0) {
        std::string part = std::to_string(rowsWithout_) + " rows of " + main + " read without";
        for (std::size_t i = 0; i < dropped_.size(); ++i) part += (i ? ", " : " ") + dropped_[i];
        parts.push_back(part);
    }
    if (restLost_) {
        parts.push_back(haveLast_ ? "the rows of " + main + " after row id " + std::to_string(last_) +
                                        " could not be read"
                                  : "no row of " + main + " could be read");
    }
    std::string text = "damaged data:";
    for (std::size_t i = 0; i < parts.size(); ++i) text += (i ? "; " : " ") + parts[i];
    db_.report("damage:" + lowerName(main), text);
}

const char* Reader::text(int col) const { return visible(col) ? cur_->text(col) : nullptr; }

std::int64_t Reader::int64(int col) const { return visible(col) ? cur_->int64(col) : 0; }

std::vector<std::uint8_t> Reader::blob(int col) const {
    return visible(col) ? cur_->blob(col) : std::vector<std::uint8_t>{};
}

bool Reader::isNull(int col) const { return !visible(col) || cur_->isNull(col); }

Table::Table(const Database& db, const ReadPlan& plan) {
    Reader reader(db, plan);
    ok_ = reader.ok();
    cols_ = reader.columnCount();
    while (rows_ < INT_MAX && reader.step()) {
        for (int k = 0; k < cols_; ++k) {
            const char* value = reader.text(k);
            present_.push_back(value != nullptr);
            cells_.emplace_back(value != nullptr ? value : "");
        }
        ++rows_;
    }
}

const char* Table::at(int r, int k) const {
    if (r < 0 || r >= rows_ || k < 0 || k >= cols_) return nullptr;
    const std::size_t i = static_cast<std::size_t>(r) * static_cast<std::size_t>(cols_) + static_cast<std::size_t>(k);
    return present_[i] ? cells_[i].c_str() : nullptr;
}

}  // namespace salvor::sqlite

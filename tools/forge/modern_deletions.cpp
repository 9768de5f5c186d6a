#include "forge/modern_deletions.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string_view>

namespace salvor::forge::modern {

bool bytesContain(const db::Blob& a, const db::Blob& b, const std::string& needle) {
    if (needle.empty()) return true;
    const auto in = [&](const db::Blob& hay) {
        return std::search(hay.begin(), hay.end(), needle.begin(), needle.end(),
                           [](std::uint8_t x, char y) { return x == static_cast<std::uint8_t>(y); }) != hay.end();
    };
    return in(a) || in(b);
}

std::string plantedName(int index) {
    // A capital starts every name and appears nowhere else in it, so no name
    // is found inside another.
    static const char* const kHead[] = {"Ber", "Kal", "Mor", "Tam", "Vel", "Dor", "Sal", "Fen"};
    static const char* const kTail[] = {"gren", "strom", "holm", "berg", "lund", "dahl", "vik", "ness"};
    // Past 64 names a middle syllable keeps them apart: it begins with a
    // letter no tail begins with, so no name is the start of another.
    static const char* const kMiddle[] = {"", "ra", "mo", "ti", "pe", "ru", "ma", "to"};
    const int i = index % 64;
    return std::string(kHead[i % 8]) + kMiddle[index / 64 % 8] + kTail[i / 8];
}

Deletions::Deletions(db::DbFile& db, DeletionPlan plan) : db_(db), plan_(std::move(plan)) {
    plan_.runLength += static_cast<int>(plan_.seed % 4) * 3;
    singles_ = 3 + static_cast<int>(plan_.seed / 4 % 3);
}

void Deletions::plant(int index, bool padded) {
    DoomedRow row = plan_.insert(index, padded);
    waiting_.emplace_back(index, std::move(row));
}

namespace {

// Moves the planted row `index` from `waiting` to `gone`, labelled with how it went.
void drop(std::vector<std::pair<int, DoomedRow>>& waiting, std::vector<DoomedRow>& gone, int index, const char* how) {
    const auto it = std::find_if(waiting.begin(), waiting.end(), [&](const auto& w) { return w.first == index; });
    if (it == waiting.end()) return;
    it->second.row["how"] = how;
    gone.push_back(std::move(it->second));
    waiting.erase(it);
}

}  // namespace

void Deletions::inFile() {
    auto run = [&](const char* how) {
        const int from = next_;
        for (int i = 0; i < plan_.runLength; ++i) plant(next_++, true);
        for (int i = from; i < next_; ++i) {
            plan_.erase(i);
            drop(waiting_, gone_, i, how);
        }
    };
    if (plan_.incrementalVacuum) {
        // Their pages go to the free list and the vacuum cuts them off the
        // file. A page the next rows take again is written from SQLite's
        // cache, its unused part still holding what the freed page held:
        // some of these rows stay, and the bytes decide which.
        run("vacuumed");
        db_.commit();
        db_.exec("PRAGMA incremental_vacuum");
        db_.begin();
    }
    run("run");  // whole pages on the free list
    // Two rows deleted once the log is kept, planted before the single rows
    // so that they do not take the space those leave.
    for (int i = 0; i < 2; ++i) plant(next_++, false);
    // Single rows, deleted last: their cells stay as free blocks.
    const int first = next_;
    for (int i = 0; i < singles_; ++i) plant(next_++, false);
    // Every other one first, then the rest: free blocks apart, then merged.
    for (int pass = 1; pass >= 0; --pass)
        for (int i = first + pass; i < next_; i += 2) {
            plan_.erase(i);
            drop(waiting_, gone_, i, "single");
        }
    if (plan_.draft) plan_.draft();
}

void Deletions::inLog() {
    // Deleted after the last checkpoint: the file holds them live.
    std::vector<int> kept;
    for (const auto& w : waiting_) kept.push_back(w.first);
    for (int i : kept) {
        plan_.erase(i);
        drop(waiting_, gone_, i, "after-checkpoint");
        db_.commit();
        db_.begin();
    }
    // Written and deleted within the log: in a frame of their own, and in
    // the same transaction.
    const int logged = next_;
    plant(next_++, false);
    db_.commit();
    db_.begin();
    plan_.erase(logged);
    drop(waiting_, gone_, logged, "log-only");
    const int brief = next_;
    plant(next_++, false);
    plan_.erase(brief);
    drop(waiting_, gone_, brief, "log-same-transaction");
    if (plan_.settle) plan_.settle();
}

nlohmann::json Deletions::judged(const db::Blob& database, const db::Blob& log) const {
    const db::Blob none;
    nlohmann::json out = nlohmann::json::array();
    for (const DoomedRow& d : gone_) {
        nlohmann::json row = d.row;
        bool all = true, inFile = true, inLog = true;
        for (const std::string& m : d.marks) {
            all = all && bytesContain(database, log, m);
            inFile = inFile && bytesContain(database, none, m);
            inLog = inLog && bytesContain(log, none, m);
        }
        // A row told apart only by its parts (a note and its body) comes back
        // when any part does.
        bool anyPart = false;
        for (const auto& [key, mark] : d.partMarks) {
            const bool there = bytesContain(database, log, mark);
            anyPart = anyPart || there;
            row[key] = there;
            if (d.marks.empty()) {
                inFile = inFile && bytesContain(database, none, mark);
                inLog = inLog && bytesContain(log, none, mark);
            }
        }
        if (d.marks.empty()) all = anyPart;
        if (row.contains("multiValues"))
            for (auto& v : row["multiValues"]) {
                const std::string mark = v.contains("mark") ? v["mark"].get<std::string>() : v["value"].get<std::string>();
                v["recoverable"] = bytesContain(database, log, mark);
                v.erase("mark");
            }
        row["recoverable"] = all;
        row["survives"] = !all ? "nowhere" : inFile && inLog ? "file and log" : inFile ? "file" : inLog ? "log" : "split";
        out.push_back(std::move(row));
    }
    return out;
}

nlohmann::json Deletions::judgedAt(const std::string& path) const {
    const auto read = [](const std::string& file) {
        std::ifstream in(file, std::ios::binary);
        return db::Blob(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    };
    return judged(read(path), read(path + "-wal"));
}

nlohmann::json Deletions::stale() const {
    return plan_.stale.is_null() ? nlohmann::json::array() : nlohmann::json::array({plan_.stale});
}

}  // namespace salvor::forge::modern

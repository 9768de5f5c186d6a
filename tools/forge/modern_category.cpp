#include "forge/modern_category.h"

#include <sqlite3.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "forge/modern_calendar.h"
#include "forge/modern_calls.h"
#include "forge/modern_contacts.h"
#include "forge/modern_db.h"
#include "forge/modern_safari.h"

namespace salvor::forge::modern {

void checkVersion(int iosMajor) {
    if (iosMajor != 12 && iosMajor != 15 && iosMajor != 17)
        throw std::invalid_argument("forge: modern category databases are written for iOS 12, 15 and 17, not " +
                                    std::to_string(iosMajor));
}

void insertNamed(db::DbFile& db, const std::string& table, const std::vector<std::pair<std::string, db::V>>& values) {
    std::string names, marks;
    for (const auto& [name, value] : values) {
        names += (names.empty() ? "" : ", ") + name;
        marks += marks.empty() ? "?" : ", ?";
    }
    const std::string sql = "INSERT INTO " + table + " (" + names + ") VALUES (" + marks + ")";
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db.handle(), sql.c_str(), -1, &st, nullptr) != SQLITE_OK)
        throw std::runtime_error("forge: " + sql + ": " + sqlite3_errmsg(db.handle()));
    int i = 0;
    for (const auto& [name, v] : values) {
        ++i;
        switch (v.k) {
            case db::V::K::Null: sqlite3_bind_null(st, i); break;
            case db::V::K::Int: sqlite3_bind_int64(st, i, v.i); break;
            case db::V::K::Real: sqlite3_bind_double(st, i, v.d); break;
            case db::V::K::Text:
                sqlite3_bind_text(st, i, v.s.data(), static_cast<int>(v.s.size()), SQLITE_TRANSIENT);
                break;
            case db::V::K::Bytes:
                sqlite3_bind_blob(st, i, v.b->data(), static_cast<int>(v.b->size()), SQLITE_TRANSIENT);
                break;
        }
    }
    const int rc = sqlite3_step(st);
    sqlite3_finalize(st);
    if (rc != SQLITE_DONE)
        throw std::runtime_error("forge: insert into " + table + " failed: " + sqlite3_errmsg(db.handle()));
}

std::string finishInto(db::DbFile& db, const std::string& outDir, const std::string& fileName) {
    const db::Blob bytes = db.finish();
    const std::string path = outDir + "/" + fileName;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("forge: cannot write " + path);
    return path;
}

void logFromHere(db::DbFile& db) {
    db.commit();
    db::startLog(db);
    db.begin();
}

std::vector<PlantedFile> finishWithLogInto(db::DbFile& db, const std::string& openPath, const std::string& outDir,
                                           const std::string& fileName, const std::string& domain,
                                           const std::string& relativePath) {
    const db::FileAndLog written = db::finishWithLog(db, openPath);
    const std::string path = outDir + "/" + fileName;
    db::writeBytes(path, written.database);
    std::vector<PlantedFile> files{{domain, relativePath, path}};
    if (!written.log.empty()) {
        db::writeBytes(path + "-wal", written.log);
        files.push_back({domain, relativePath + "-wal", path + "-wal"});
    }
    return files;
}

double seconds2001(int year, int month, int day, int hour, int minute, int second) {
    // Days from 1970-01-01 of a proleptic Gregorian date (civil-from-days inverse).
    const int y = year - (month <= 2 ? 1 : 0);
    const int era = (y >= 0 ? y : y - 399) / 400;
    const int yoe = y - era * 400;
    const int doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const long long days = static_cast<long long>(era) * 146097 + doe - 719468;
    return static_cast<double>(days * 86400 + hour * 3600 + minute * 60 + second - db::kEpoch2001);
}

std::vector<db::LookupEntry> lookupBook(const nlohmann::json& contacts) {
    std::vector<db::LookupEntry> book;
    if (!contacts.is_object() || !contacts.contains("live")) return book;
    for (const nlohmann::json& person : contacts["live"]) {
        std::string phones = db::normalisePhone(person.value("contactPhone", ""));
        for (char& c : phones) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        book.push_back({person["contactName"].get<std::string>(), phones, nullptr});
    }
    return book;
}

std::string dialled(const std::string& stored) {
    std::string out;
    for (char c : stored)
        if ((c >= '0' && c <= '9') || c == '+') out += c;
    return out;
}

std::vector<PlantedFile> writeModernCategories(const std::string& outDir, int iosMajor, std::uint64_t seed,
                                               bool encryptedOnlyData, nlohmann::json& truth) {
    std::vector<PlantedFile> files;
    auto add = [&](std::vector<PlantedFile> more) { files.insert(files.end(), more.begin(), more.end()); };
    nlohmann::json contacts, calendar, bookmarks, calls;
    add(writeModernContacts(outDir, iosMajor, seed, contacts));
    add(writeModernCalendar(outDir, iosMajor, seed, calendar));
    add(writeModernSafari(outDir, iosMajor, seed, bookmarks, encryptedOnlyData));
    if (encryptedOnlyData) {
        add(writeModernCalls(outDir, iosMajor, seed, contacts, calls));
        truth["calls"] = std::move(calls);
    }
    truth["contacts"] = std::move(contacts);
    truth["calendar"] = std::move(calendar);
    truth["bookmarks"] = std::move(bookmarks);
    return files;
}

}  // namespace salvor::forge::modern

#include <ctime>
#include "forge/content.h"

#include <plist/plist.h>
#include <sqlite3.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace salvor::forge {
namespace {

void put(Bytes& out, std::initializer_list<int> bytes) {
    for (int b : bytes) out.push_back(static_cast<std::uint8_t>(b));
}
void putText(Bytes& out, const char* text, std::size_t n) {
    // Byte by byte: GCC 12 at -O2 misreads a range insert into a small vector as an overflow.
    for (std::size_t i = 0; i < n; ++i) out.push_back(static_cast<std::uint8_t>(text[i]));
}
void putBE32(Bytes& out, std::uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<std::uint8_t>(v >> s));
}
void appendRandom(Bytes& out, Rng& rng, std::size_t n) {
    const std::size_t at = out.size();
    out.resize(at + n);
    fillRandom(rng, out.data() + at, n);
}

// CRC-32 of PNG chunks (reflected polynomial 0xEDB88320); a few bytes per image only.
std::uint32_t crc32(const std::uint8_t* data, std::size_t n) {
    std::uint32_t c = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < n; ++i) {
        c ^= data[i];
        for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
    }
    return c ^ 0xFFFFFFFFu;
}

void pngChunk(Bytes& out, const char type[4], const Bytes& data) {
    putBE32(out, static_cast<std::uint32_t>(data.size()));
    const std::size_t start = out.size();
    putText(out, type, 4);
    out.insert(out.end(), data.begin(), data.end());
    putBE32(out, crc32(out.data() + start, out.size() - start));
}

}  // namespace

void fillRandom(Rng& rng, std::uint8_t* data, std::size_t size) {
    std::size_t i = 0;
    while (i + 8 <= size) {
        std::uint64_t v = rng.next();
        for (int k = 0; k < 8; ++k) data[i++] = static_cast<std::uint8_t>(v >> (8 * k));
    }
    if (i < size) {
        std::uint64_t v = rng.next();
        while (i < size) {
            data[i++] = static_cast<std::uint8_t>(v);
            v >>= 8;
        }
    }
}

Bytes jpegBytes(Rng& rng, std::size_t body, bool withTail) {
    Bytes out;
    put(out, {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10});
    putText(out, "JFIF", 5);
    put(out, {0x01, 0x01, 0x00, 0x00, 0x48, 0x00, 0x48, 0x00, 0x00});
    // Start of frame: 8-bit, 480 x 640, three components.
    put(out, {0xFF, 0xC0, 0x00, 0x11, 0x08, 0x02, 0x80, 0x01, 0xE0, 0x03,
              0x01, 0x22, 0x00, 0x02, 0x11, 0x01, 0x03, 0x11, 0x01});
    put(out, {0xFF, 0xDA, 0x00, 0x0C, 0x03, 0x01, 0x00, 0x02, 0x11, 0x03, 0x11, 0x00, 0x3F, 0x00});
    appendRandom(out, rng, body);
    // Entropy-coded data never holds a bare 0xFF followed by a marker byte; keep it plausible.
    for (std::size_t i = out.size() - body; i < out.size(); ++i)
        if (out[i] == 0xFF) out[i] = 0xFE;
    if (withTail) put(out, {0xFF, 0xD9});
    return out;
}

Bytes pngBytes(Rng& rng, std::size_t body) {
    Bytes out;
    put(out, {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A});
    Bytes ihdr;
    putBE32(ihdr, 320);
    putBE32(ihdr, 480);
    put(ihdr, {8, 6, 0, 0, 0});
    pngChunk(out, "IHDR", ihdr);
    Bytes idat;
    appendRandom(idat, rng, body);
    pngChunk(out, "IDAT", idat);
    pngChunk(out, "IEND", {});
    return out;
}

Bytes quickTimeBytes(Rng& rng, std::size_t body, const char brand[4]) {
    Bytes out;
    putBE32(out, 20);
    putText(out, "ftyp", 4);
    putText(out, brand, 4);
    putBE32(out, 0x00000200);
    putText(out, brand, 4);
    putBE32(out, 8);
    putText(out, "wide", 4);
    putBE32(out, 0);  // size 0: the media data atom runs to the end of the file
    putText(out, "mdat", 4);
    appendRandom(out, rng, body);
    return out;
}

Bytes mp3Bytes(Rng& rng, int frames) {
    Bytes out;
    putText(out, "ID3", 3);
    put(out, {0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0A});
    putText(out, "TIT2", 4);
    put(out, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00});  // empty title frame padding
    for (int i = 0; i < frames; ++i) {
        // MPEG-1 layer III, 128 kbit/s, 44.1 kHz: 417 bytes per frame.
        put(out, {0xFF, 0xFB, 0x90, 0x64});
        appendRandom(out, rng, 413);
    }
    return out;
}

Bytes serialisePlist(void* node, bool binary) {
    const plist_t root = static_cast<plist_t>(node);
    char* data = nullptr;
    std::uint32_t len = 0;
    if (binary) plist_to_bin(root, &data, &len); else plist_to_xml(root, &data, &len);
    if (!data) throw std::runtime_error("forge: property list could not be serialised");
    Bytes out(data, data + len);
    if (binary) plist_to_bin_free(data); else plist_to_xml_free(data);
    return out;
}

Bytes plistBytes(Rng& rng, const std::string& identifier) {
    plist_t dict = plist_new_dict();
    plist_dict_set_item(dict, "CFBundleIdentifier", plist_new_string(identifier.c_str()));
    plist_dict_set_item(dict, "LaunchCount", plist_new_uint(rng.below(500)));
    plist_dict_set_item(dict, "LastVersion", plist_new_string(("3." + std::to_string(rng.below(9))).c_str()));
    plist_dict_set_item(dict, "ShowHints", plist_new_bool(rng.chance(50) ? 1 : 0));
    Bytes out;
    try {
        out = serialisePlist(dict, false);
    } catch (...) {
        plist_free(dict);
        throw;
    }
    plist_free(dict);
    return out;
}

Bytes sqliteBytes(Rng& rng, const std::string& scratchDir, const std::string& table) {
    const std::string path = scratchDir + "/content-" + table + ".sqlite";
    std::filesystem::remove(path);
    sqlite3* db = nullptr;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) {
        sqlite3_close(db);
        throw std::runtime_error("forge: cannot create database " + path);
    }
    std::string sql = "PRAGMA page_size=4096; PRAGMA synchronous=OFF; PRAGMA journal_mode=MEMORY; CREATE TABLE " + table +
                      " (id INTEGER PRIMARY KEY, key TEXT, value TEXT, updated INTEGER);";
    const int rows = 3 + static_cast<int>(rng.below(6));
    for (int i = 0; i < rows; ++i) {
        sql += "INSERT INTO " + table + " (key, value, updated) VALUES ('key" + std::to_string(i) + "', 'value" +
               std::to_string(rng.below(100000)) + "', " + std::to_string(380000000 + rng.below(20000000)) + ");";
    }
    char* err = nullptr;
    const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err);
    const std::string message = err ? err : "";
    sqlite3_free(err);
    sqlite3_close(db);
    if (rc != SQLITE_OK) throw std::runtime_error("forge: cannot fill database " + path + ": " + message);
    std::ifstream in(path, std::ios::binary);
    Bytes out((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::filesystem::remove(path);
    return out;
}

Bytes textBytes(Rng& rng, std::size_t size) {
    static const char kWords[] = "lorem ipsum dolor sit amet consectetur adipiscing elit sed do eiusmod\n";
    Bytes out(size);
    const std::size_t offset = rng.below(sizeof kWords - 1);
    for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<std::uint8_t>(kWords[(offset + i) % (sizeof kWords - 1)]);
    return out;
}

std::string localMinuteText(std::int64_t when) {
    const time_t t = static_cast<time_t>(when);
    std::tm tm{};
    if (!localtime_r(&t, &tm)) return {};
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M", &tm);
    return buf;
}

}  // namespace salvor::forge

// Helpers shared by the output tests: a private scratch folder, golden files and
// UTF-16 decoding of written pages.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/support.h"

namespace salvor::test_output {

namespace fs = std::filesystem;
using test::readFile;
using test::writeFile;

class ScratchDir {
public:
    fs::path path() const { return dir_.path(); }
    std::string str() const { return dir_.path(); }

private:
    test::TempDir dir_;
};

inline std::string golden(const std::string& name) {
    return readFile(std::string(SALVOR_SOURCE_DIR) + "/tests/unit/output/golden/" + name);
}

// UTF-16LE with BOM back to UTF-8; fails the test when the BOM is missing.
inline std::string decodeUtf16Page(const std::string& bytes) {
    EXPECT_TRUE(bytes.size() >= 2 && bytes.size() % 2 == 0 && bytes.compare(0, 2, "\xFF\xFE") == 0);
    auto unit = [&](std::size_t i) -> char32_t {
        return static_cast<unsigned char>(bytes[i]) | (static_cast<unsigned char>(bytes[i + 1]) << 8);
    };
    std::string out;
    for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
        char32_t u = unit(i);
        if (u >= 0xD800 && u < 0xDC00 && i + 3 < bytes.size()) u = 0x10000 + ((u - 0xD800) << 10) + (unit(i += 2) - 0xDC00);
        const int extra = u < 0x80 ? 0 : u < 0x800 ? 1 : u < 0x10000 ? 2 : 3;
        out += static_cast<char>(extra == 0 ? u : ((0xF80 >> extra) & 0xFF) | (u >> (6 * extra)));
        for (int k = extra - 1; k >= 0; --k) out += static_cast<char>(0x80 | ((u >> (6 * k)) & 0x3F));
    }
    return out;
}

}  // namespace salvor::test_output

// Output names made from record fields: whatever the bytes, the result is one
// usable file name (or a list of them for a path) that cannot leave the folder.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "output/safe_name.h"

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

bool validUtf8(std::string_view s) {
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        const std::size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (len == 0 || i + len > s.size()) return false;
        for (std::size_t k = 1; k < len; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        i += len;
    }
    return true;
}

void checkName(const std::string& name) {
    check(!name.empty() && name != "." && name != "..");
    check(name.size() <= salvor::output::kMaxNameBytes);
    check(validUtf8(name));
    for (char c : name) check(c != '/' && c != '\0' && static_cast<unsigned char>(c) >= 0x20);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view field(reinterpret_cast<const char*>(data), size);
    const std::string name = salvor::output::safeFileName(field, ".vcf");
    checkName(name);
    check(name.size() >= 4 && name.compare(name.size() - 4, 4, ".vcf") == 0);
    checkName(salvor::output::numberedName(name, 1 + static_cast<unsigned>(size % 1000)));
    for (const std::string& part : salvor::output::safeRelativePath(field)) checkName(part);
    return 0;
}

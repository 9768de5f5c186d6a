// A size given on a benchmark's command line: "2G", "256M", "64k" or bytes.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>

namespace bench_args {

// The size in bytes; 0 when the text is not a positive size.
inline std::uint64_t parseSize(const std::string& text) {
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    std::uint64_t unit = 1;
    if (end && *end) {
        switch (*end) {
            case 'k': case 'K': unit = 1ULL << 10; break;
            case 'm': case 'M': unit = 1ULL << 20; break;
            case 'g': case 'G': unit = 1ULL << 30; break;
            default: break;
        }
    }
    return value > 0 ? static_cast<std::uint64_t>(value * static_cast<double>(unit)) : 0;
}

}  // namespace bench_args

// Runs a fuzz target without libFuzzer: every file of the corpus folder, then a
// fixed number of inputs made by a seeded generator from random bytes and from
// mutations (bit flips, truncations, splices, length-field extremes) of the
// corpus. A crash or sanitizer report fails the test; the seed is fixed so a
// failure reproduces.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    std::vector<std::vector<std::uint8_t>> corpus;
    if (argc > 1 && fs::is_directory(argv[1])) {
        std::vector<fs::path> files;
        for (const auto& e : fs::directory_iterator(argv[1]))
            if (e.is_regular_file()) files.push_back(e.path());
        std::sort(files.begin(), files.end());
        for (const auto& p : files) {
            std::ifstream in(p, std::ios::binary);
            corpus.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
    }
    const long rounds = argc > 2 ? std::atol(argv[2]) : 1000;
    for (const auto& c : corpus) LLVMFuzzerTestOneInput(c.data(), c.size());

    std::mt19937_64 rng(0x5a1e0c0de);
    auto pick = [&](std::size_t n) { return n == 0 ? 0 : static_cast<std::size_t>(rng() % n); };
    for (long r = 0; r < rounds; ++r) {
        std::vector<std::uint8_t> in;
        if (corpus.empty() || r % 5 == 0) {
            in.resize(pick(512));
            for (auto& b : in) b = static_cast<std::uint8_t>(rng());
        } else {
            in = corpus[pick(corpus.size())];
            const int edits = 1 + static_cast<int>(pick(8));
            for (int e = 0; e < edits && !in.empty(); ++e) {
                switch (pick(5)) {
                case 0: in[pick(in.size())] ^= static_cast<std::uint8_t>(1u << pick(8)); break;
                case 1: in.resize(pick(in.size() + 1)); break;
                case 2: in[pick(in.size())] = 0xFF; break;
                case 3: in[pick(in.size())] = 0x00; break;
                default: {
                    const auto& other = corpus[pick(corpus.size())];
                    if (other.empty()) break;
                    const std::size_t from = pick(other.size());
                    const std::size_t len = pick(other.size() - from + 1);
                    in.insert(in.begin() + static_cast<long>(pick(in.size() + 1)), other.begin() + static_cast<long>(from),
                              other.begin() + static_cast<long>(from + len));
                }
                }
            }
        }
        LLVMFuzzerTestOneInput(in.data(), in.size());
    }
    std::printf("replayed %zu corpus inputs and %ld generated inputs\n", corpus.size(), rounds);
    return 0;
}

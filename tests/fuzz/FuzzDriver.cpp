// A plain driver for the fuzz targets: runs every corpus file, then a fixed
// number of deterministic mutations of them (bit flips, truncations, spliced
// and repeated ranges, interesting bytes). Run under the sanitizers, a crash,
// a leak or a read outside a buffer fails the run.
//
//   <target> [--runs N] [--seed S] corpus-file-or-folder...
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "tests/fuzz/FuzzDriver.h"

namespace {

std::vector<uint8_t> readFile(const std::filesystem::path& path) {
    std::ifstream stream(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(stream), {});
}

std::vector<uint8_t> mutate(std::vector<uint8_t> input, const std::vector<std::vector<uint8_t>>& corpus, std::mt19937& random) {
    const auto pick = [&](size_t bound) { return bound == 0 ? size_t{0} : std::uniform_int_distribution<size_t>(0, bound - 1)(random); };
    const int steps = 1 + static_cast<int>(pick(4));
    static const uint8_t interesting[] = {0x00, 0xFF, 0x7F, 0x80, 0x01, '[', ']', '(', ')', '<', '>', ',', '"', '-', '9', '?'};
    for (int s = 0; s < steps; ++s) {
        switch (pick(6)) {
            case 0:
                if (!input.empty()) input[pick(input.size())] ^= static_cast<uint8_t>(1u << pick(8));
                break;
            case 1:
                input.resize(pick(input.size() + 1));
                break;
            case 2:
                if (!input.empty()) input[pick(input.size())] = interesting[pick(sizeof interesting)];
                break;
            case 3: {
                const auto& other = corpus[pick(corpus.size())];
                if (other.empty()) break;
                const size_t from = pick(other.size()), length = pick(std::min<size_t>(other.size() - from, 256) + 1);
                input.insert(input.begin() + static_cast<std::ptrdiff_t>(pick(input.size() + 1)), other.begin() + static_cast<std::ptrdiff_t>(from),
                             other.begin() + static_cast<std::ptrdiff_t>(from + length));
                break;
            }
            case 4:
                if (!input.empty()) {
                    const size_t from = pick(input.size()), length = pick(std::min<size_t>(input.size() - from, 64) + 1);
                    input.erase(input.begin() + static_cast<std::ptrdiff_t>(from), input.begin() + static_cast<std::ptrdiff_t>(from + length));
                }
                break;
            default:
                if (input.size() >= 4) {
                    // Overwrite a 32-bit field with a boundary value (offsets, counts, sizes).
                    static const uint32_t values[] = {0, 1, 63, 64, 0x7FFFFFFF, 0xFFFFFFFF, 0xDEADBEEF, 2};
                    const uint32_t v = values[pick(std::size(values))];
                    const size_t at = pick(input.size() - 3) & ~size_t{3};
                    for (int b = 0; b < 4; ++b) input[at + static_cast<size_t>(b)] = static_cast<uint8_t>(v >> (8 * b));
                }
                break;
        }
    }
    return input;
}

}  // namespace

int main(int argc, char** argv) {
    long runs = 1000;
    unsigned seed = 1;
    std::vector<std::vector<uint8_t>> corpus;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--runs" && i + 1 < argc) {
            runs = std::strtol(argv[++i], nullptr, 10);
        } else if (arg == "--seed" && i + 1 < argc) {
            seed = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
        } else if (std::filesystem::is_directory(arg)) {
            for (const auto& entry : std::filesystem::recursive_directory_iterator(arg)) {
                if (entry.is_regular_file()) corpus.push_back(readFile(entry.path()));
            }
        } else {
            corpus.push_back(readFile(arg));
        }
    }
    if (corpus.empty()) corpus.emplace_back();
    for (const auto& input : corpus) LLVMFuzzerTestOneInput(input.data(), input.size());
    std::mt19937 random(seed);
    for (long r = 0; r < runs; ++r) {
        const auto input = mutate(corpus[static_cast<size_t>(r) % corpus.size()], corpus, random);
        LLVMFuzzerTestOneInput(input.data(), input.size());
    }
    std::printf("%zu corpus inputs and %ld mutations ran\n", corpus.size(), runs);
    return 0;
}

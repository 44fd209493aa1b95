// Load and encode speed of the real tokenizer files: each tokenizer.json is
// loaded from its folder, timed against reading its bytes, and a 1 MB
// mixed-language text is encoded and decoded single-threaded.
//
//   tokenizer_bench [FIXTURES_FOLDER]   (default $DICTARO_FIXTURES or build/fixtures)
#include "mlcore/tokenizers/AutoTokenizer.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

template <typename Work>
double medianMilliseconds(int rounds, Work work) {
    std::vector<double> times;
    for (int round = 0; round < rounds; ++round) {
        const auto start = Clock::now();
        work();
        times.push_back(millisecondsSince(start));
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

// Prose in several scripts with numbers, punctuation and line breaks, repeated
// to 1 MB, so that the word cache sees repeats as real text has them.
std::string mixedText() {
    const std::string paragraph =
        "The quick brown fox jumps over the lazy dog; it was 3:45 pm on 2024-05-17.\n"
        "Le cœur a ses raisons que la raison ne connaît point. Déjà vu, naïve café!\n"
        "Der Straßenbahnfahrer grüßte höflich die Fahrgäste über 100 Meter.\n"
        "日本語の文章はスペースなしで書かれます。中文也是一样的。\n"
        "Привет, как дела? Всё хорошо, спасибо. 🙂👍 Emoji and \"quotes\" (too).\n"
        "    indented code: for (int i = 0; i < n; ++i) { sum += values[i]; }\n";
    std::string text;
    while (text.size() < (1u << 20)) text += paragraph;
    return text;
}

// Loaded as the engine loads a model's tokenizer folder.
std::shared_ptr<const celvan::Tokenizer> loadFolder(const std::filesystem::path& folder) {
    return celvan::AutoTokenizer::fromModelFolder(platform::URL::fileURLWithPath(folder.string(), true),
                                                  celvan::HubApiWrapper::shared(), true);
}

} // namespace

int main(int argc, char** argv) {
    const char* environment = std::getenv("DICTARO_FIXTURES");
    const std::filesystem::path fixtures = argc > 1 ? argv[1] : (environment ? environment : "build/fixtures");

    std::vector<std::pair<std::string, double>> figures;
    for (const std::string name : {"gpt2", "whisper-en", "bert", "llama2", "llama3"}) {
        const auto folder = fixtures / name;
        if (!std::filesystem::exists(folder / "tokenizer.json")) {
            std::fprintf(stderr, "tokenizer_bench: missing %s; run scripts/fetch-fixtures\n", folder.c_str());
            return 1;
        }
        const double readMs = medianMilliseconds(5, [&] {
            std::ifstream in(folder / "tokenizer.json", std::ios::binary);
            std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        });
        const double loadMs = medianMilliseconds(5, [&] { loadFolder(folder); });
        const double megabytes = static_cast<double>(std::filesystem::file_size(folder / "tokenizer.json")) / 1e6;
        std::printf("%-11s %5.1f MB  load %7.1f ms  read %5.2f ms\n", name.c_str(), megabytes, loadMs, readMs);
        figures.emplace_back("load_ms_" + name, loadMs);
        figures.emplace_back("load_over_read_" + name, loadMs / std::max(readMs, 1e-3));
    }

    const std::string text = mixedText();
    const double textMegabytes = static_cast<double>(text.size()) / 1e6;
    for (const std::string name : {"whisper-en", "llama3"}) {
        const auto tokenizer = loadFolder(fixtures / name);
        std::vector<int64_t> ids;
        const double encodeMs = medianMilliseconds(3, [&] { ids = tokenizer->encode(text, false); });
        std::string decoded;
        const double decodeMs = medianMilliseconds(3, [&] { decoded = tokenizer->decode(ids); });
        if (decoded != text) {
            std::fprintf(stderr, "tokenizer_bench: %s does not decode the text it encoded\n", name.c_str());
            return 1;
        }
        std::printf("%-11s %zu tokens  encode %7.1f ms  decode %7.1f ms\n", name.c_str(), ids.size(), encodeMs,
                    decodeMs);
        figures.emplace_back("encode_mb_per_s_" + name, textMegabytes / (encodeMs / 1000.0));
        figures.emplace_back("decode_mb_per_s_" + name, textMegabytes / (decodeMs / 1000.0));
    }

    for (const auto& [figure, value] : figures) std::printf("%s: %.2f\n", figure.c_str(), value);
    return 0;
}

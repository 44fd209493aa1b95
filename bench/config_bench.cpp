// Parses a generated tokenizer-shaped JSON document of about 2 MB into Config
// through the BOM-keeping reader, and compares the time with a bare
// nlohmann-json parse of the same bytes. Then measures key lookups that need
// the snake_case fallback.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bench/BenchStatistics.h"
#include "mlcore/foundation/Config.h"
#include "mlcore/foundation/JSONSerializationBOM.h"

namespace {

using benchsupport::median;

using Clock = std::chrono::steady_clock;

constexpr std::size_t kDocumentBytes = 2 * 1024 * 1024;
constexpr int kRounds = 15;

// Byte-level tokens look like "Ġthe" (U+0120 then letters); some begin with a
// byte-order mark and a few carry other non-ASCII letters.
std::string randomToken(std::mt19937& random) {
    static const char* const prefixes[] = {"", "\xC4\xA0", "\xC4\xA0", "##", "\xE2\x96\x81",
                                           "\xEF\xBB\xBF"};
    static const char* const extras[] = {"", "", "", "", "", "", "\xC3\xA9", "\xC3\xBC"};
    std::string token = prefixes[random() % 6];
    const std::size_t letters = 1 + random() % 8;
    for (std::size_t i = 0; i < letters; ++i) token += static_cast<char>('a' + random() % 26);
    token += extras[random() % 8];
    return token;
}

std::string component(const char* type, const std::string& rest) {
    return std::string("{\"type\":\"") + type + "\"" + rest + "}";
}

std::string tokenizerDocument() {
    std::mt19937 random(42);
    std::string vocab;
    std::size_t id = 0;
    while (vocab.size() < kDocumentBytes / 2) {
        if (id > 0) vocab += ",";
        vocab += "\"" + randomToken(random) + "_" + std::to_string(id) + "\":" + std::to_string(id);
        ++id;
    }
    std::string addedTokens;
    for (int i = 0; i < 50; ++i) {
        if (i > 0) addedTokens += ",";
        addedTokens += "{\"id\":" + std::to_string(id + i) + ",\"content\":\"<|special_" +
                       std::to_string(i) +
                       "|>\",\"single_word\":false,\"lstrip\":false,\"rstrip\":false,"
                       "\"normalized\":false,\"special\":true}";
    }
    std::string head =
        "{\"version\":\"1.0\",\"truncation\":null,\"padding\":null,\"added_tokens\":[" + addedTokens +
        "],\"normalizer\":" +
        component("Sequence", ",\"normalizers\":[" + component("NFC", "") + "," +
                                  component("Replace",
                                            ",\"pattern\":{\"String\":\" \"},\"content\":\"\xE2\x96\x81\"") +
                                  "]") +
        ",\"pre_tokenizer\":" +
        component("ByteLevel", ",\"add_prefix_space\":false,\"trim_offsets\":true,\"use_regex\":true") +
        ",\"post_processor\":" +
        component("TemplateProcessing",
                  ",\"single\":[{\"SpecialToken\":{\"id\":\"<s>\",\"type_id\":0}},{\"Sequence\":{\"id\":"
                  "\"A\",\"type_id\":0}}],\"pair\":[],\"special_tokens\":{\"<s>\":{\"id\":\"<s>\",\"ids\":[1],"
                  "\"tokens\":[\"<s>\"]}}") +
        ",\"decoder\":" +
        component("ByteLevel", ",\"add_prefix_space\":true,\"trim_offsets\":true,\"use_regex\":true") +
        ",\"model\":{\"type\":\"BPE\",\"dropout\":null,\"unk_token\":\"<unk>\","
        "\"continuing_subword_prefix\":\"\",\"end_of_word_suffix\":\"\",\"fuse_unk\":false,"
        "\"byte_fallback\":false,\"model_max_length\":1e30,\"vocab\":{" +
        vocab + "},\"merges\":[";
    std::string merges;
    while (head.size() + merges.size() < kDocumentBytes - 8) {
        if (!merges.empty()) merges += ",";
        merges += "\"" + randomToken(random) + " " + randomToken(random) + "\"";
    }
    return head + merges + "]}}";
}

template <class Work>
double milliseconds(Work&& work) {
    const auto start = Clock::now();
    work();
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

}  // namespace

int main() {
    const std::string document = tokenizerDocument();
    const std::vector<uint8_t> bytes(document.begin(), document.end());

    std::vector<double> bare, reader, conversion, total;
    for (int round = 0; round < kRounds; ++round) {
        // Trees are released outside the timed spans, for both sides alike.
        nlohmann::json parsed;
        bare.push_back(milliseconds([&] { parsed = nlohmann::json::parse(document); }));

        platform::JSONValue tree;
        celvan::Config config;
        const double read = milliseconds([&] { tree = celvan::bomPreservingJsonObject(bytes); });
        const double convert =
            milliseconds([&] { config = celvan::Config::convertToBinaryDistinctKeys(tree); });
        reader.push_back(read);
        conversion.push_back(convert);
        total.push_back(read + convert);
    }

    const celvan::Config config =
        celvan::Config::convertToBinaryDistinctKeys(celvan::bomPreservingJsonObject(bytes));
    const char* const fallbackNames[] = {"addedTokens", "preTokenizer", "postProcessor"};
    const char* const modelNames[] = {"unkToken", "fuseUnk", "byteFallback",
                                      "continuingSubwordPrefix", "endOfWordSuffix"};
    // Every name here is written in snake_case in the document, so each lookup
    // misses the exact key and finds the snake_case one.
    const celvan::Config& model = config["model"];
    auto present = [](const celvan::Config& value) {
        return value.value().kind() != celvan::Config::Data::Kind::null;
    };
    std::size_t lookups = 0;
    std::size_t found = 0;
    const auto start = Clock::now();
    auto elapsed = [&] { return std::chrono::duration<double>(Clock::now() - start).count(); };
    while (elapsed() < 0.5) {
        for (int repeat = 0; repeat < 1000; ++repeat) {
            for (const char* name : fallbackNames) found += present(config[name]);
            for (const char* name : modelNames) found += present(model[name]);
            lookups += std::size(fallbackNames) + std::size(modelNames);
        }
    }
    const double lookupSeconds = elapsed();
    if (found != lookups) std::printf("some lookups found nothing\n");

    const double bareMs = median(bare);
    const double totalMs = median(total);
    std::printf("document_bytes: %zu\n", document.size());
    std::printf("vocab_entries: %zu\n", config["model"]["vocab"].dictionary()->size());
    std::printf("nlohmann_parse_ms: %.2f\n", bareMs);
    std::printf("reader_ms: %.2f\n", median(reader));
    std::printf("conversion_ms: %.2f\n", median(conversion));
    std::printf("config_parse_ms: %.2f\n", totalMs);
    std::printf("config_parse_ratio: %.2f\n", totalMs / bareMs);
    std::printf("snake_case_lookups_per_s: %.0f\n", static_cast<double>(lookups) / lookupSeconds);
    return 0;
}

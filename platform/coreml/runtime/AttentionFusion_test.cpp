#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <map>

#include "platform/coreml/runtime/RuntimeModel.h"
#include "tests/support/LoadedGraph.h"
#include "tests/support/ModelBundleWriter.h"
#include "tests/support/TempDirectory.h"

namespace platform::coreml::runtime {
namespace {

using testsupport::ModelBundleWriter;

// Enough keys that a block of queries holds fewer than all of them, and a
// query count that leaves a short last block.
constexpr int64_t H = 3, C = 8, D = 6, K = 2100;
constexpr float kScale = 0.35f;

std::vector<float> pattern(int64_t n, uint32_t seed) {
    std::vector<float> v(static_cast<size_t>(n));
    uint32_t state = seed;
    for (auto& x : v) {
        state = state * 1664525u + 1013904223u;
        x = static_cast<float>(state >> 8) / static_cast<float>(1u << 24) * 2.0f - 1.0f;
    }
    return v;
}

int64_t flat(const Shape& shape, const std::vector<int64_t>& index) {
    int64_t offset = 0;
    for (size_t d = 0; d < shape.size(); ++d) offset = offset * shape[d] + index[d];
    return offset;
}

// Where each role's element lies in one form's tensors.
struct Layout {
    Shape query, key, value, mask, output;
    std::function<std::vector<int64_t>(int64_t h, int64_t i, int64_t c)> queryAt;
    std::function<std::vector<int64_t>(int64_t h, int64_t j, int64_t c)> keyAt;
    std::function<std::vector<int64_t>(int64_t h, int64_t j, int64_t d)> valueAt;
    std::function<std::vector<int64_t>(int64_t h, int64_t i, int64_t j)> maskAt;
    std::function<std::vector<int64_t>(int64_t h, int64_t i, int64_t d)> outputAt;
};

// The trio's form: heads in the [1, C, 1, S] layout, the mask [1, keys, 1, queries].
Layout channelsFirst(int64_t q) {
    return Layout{{1, C, H, q}, {1, K, H, C}, {1, D, H, K}, {1, K, 1, q}, {1, D, H, q},
                  [](int64_t h, int64_t i, int64_t c) { return std::vector<int64_t>{0, c, h, i}; },
                  [](int64_t h, int64_t j, int64_t c) { return std::vector<int64_t>{0, j, h, c}; },
                  [](int64_t h, int64_t j, int64_t d) { return std::vector<int64_t>{0, d, h, j}; },
                  [](int64_t, int64_t i, int64_t j) { return std::vector<int64_t>{0, j, 0, i}; },
                  [](int64_t h, int64_t i, int64_t d) { return std::vector<int64_t>{0, d, h, i}; }};
}

// Heads outermost, the mask [1, 1, queries, keys].
Layout headsFirst(int64_t q) {
    return Layout{{1, H, q, C}, {1, H, K, C}, {1, H, K, D}, {1, 1, q, K}, {1, H, q, D},
                  [](int64_t h, int64_t i, int64_t c) { return std::vector<int64_t>{0, h, i, c}; },
                  [](int64_t h, int64_t j, int64_t c) { return std::vector<int64_t>{0, h, j, c}; },
                  [](int64_t h, int64_t j, int64_t d) { return std::vector<int64_t>{0, h, j, d}; },
                  [](int64_t, int64_t i, int64_t j) { return std::vector<int64_t>{0, 0, i, j}; },
                  [](int64_t h, int64_t i, int64_t d) { return std::vector<int64_t>{0, h, i, d}; }};
}

// The trio's form as its program builds it: heads split off the channels
// and moved into place by transposes, and the result moved on by one.
Layout transposedChannels(int64_t q) {
    return Layout{{1, H, C, q}, {1, H, C, K}, {1, H, D, K}, {1, K, 1, q}, {1, H, q, D},
                  [](int64_t h, int64_t i, int64_t c) { return std::vector<int64_t>{0, h, c, i}; },
                  [](int64_t h, int64_t j, int64_t c) { return std::vector<int64_t>{0, h, c, j}; },
                  [](int64_t h, int64_t j, int64_t d) { return std::vector<int64_t>{0, h, d, j}; },
                  [](int64_t, int64_t i, int64_t j) { return std::vector<int64_t>{0, j, 0, i}; },
                  [](int64_t h, int64_t i, int64_t d) { return std::vector<int64_t>{0, h, i, d}; }};
}

struct Case {
    const char* name;
    bool channels;        // channelsFirst (or transposedChannels), else headsFirst
    bool transposes;      // transposedChannels
    int64_t queries;
    DataType type;
    bool returnProbabilities;
    bool maskBeforeScale;
    bool fused;
    bool matmul = false;  // heads first, written as matmul, softmax, matmul
};

struct Program {
    std::filesystem::path bundle;
    std::map<std::string, Tensor> inputs;
    Layout layout;
};

Program attentionProgram(const Case& c, const std::filesystem::path& folder) {
    const Layout l = c.transposes ? transposedChannels(c.queries) : c.channels ? channelsFirst(c.queries) : headsFirst(c.queries);
    ModelBundleWriter w(ModelBundleWriter::Dialect::program13, "ios16");
    const DataType t = c.type;
    for (const auto& [name, shape] : {std::pair{"q", l.query}, {"k", l.key}, {"v", l.value}, {"mask", l.mask}}) {
        w.input(c.transposes && std::string(name) != "mask" ? std::string(name) + "h" : name, t, shape);
    }
    if (c.transposes) {
        w.op("transpose", {{"x", "qh"}, {"perm", w.ints({0, 2, 1, 3})}}, {{"q", t, {1, C, H, c.queries}}});
        w.op("transpose", {{"x", "kh"}, {"perm", w.ints({0, 3, 1, 2})}}, {{"k", t, {1, K, H, C}}});
        w.op("transpose", {{"x", "vh"}, {"perm", w.ints({0, 2, 1, 3})}}, {{"v", t, {1, D, H, K}}});
    }
    const Shape scores = c.channels ? Shape{1, K, H, c.queries} : Shape{1, H, c.queries, K};
    if (c.matmul) {
        w.op("matmul", {{"x", "q"}, {"y", "k"}, {"transpose_y", w.boolean(true)}}, {{"scores", t, scores}});
    } else if (c.channels) {
        w.op("einsum", {{"values", ModelBundleWriter::tuple({"q", "k"})}, {"equation", w.text("bchq,bkhc->bkhq")}},
             {{"scores", t, scores}});
    } else {
        // Keys first, and the scale and mask as the first operands.
        w.op("einsum", {{"values", ModelBundleWriter::tuple({"k", "q"})}, {"equation", w.text("bhkc,bhqc->bhqk")}},
             {{"scores", t, scores}});
    }
    if (c.maskBeforeScale) {
        w.op("add", {{"x", "scores"}, {"y", "mask"}}, {{"masked", t, scores}});
        w.op("mul", {{"x", "masked"}, {"y", w.scalar(t, kScale)}}, {{"logits", t, scores}});
    } else {
        w.op("mul", {{"x", w.scalar(t, kScale)}, {"y", "scores"}}, {{"scaled", t, scores}});
        w.op("add", {{"x", "mask"}, {"y", "scaled"}}, {{"logits", t, scores}});
    }
    if (c.channels) {
        w.op("softmax", {{"x", "logits"}, {"axis", w.scalar(DataType::Int32, 1)}}, {{"p", t, scores}});
        w.op("einsum", {{"values", ModelBundleWriter::tuple({"v", "p"})}, {"equation", w.text("bchk,bkhq->bchq")}},
             {{c.transposes ? "mixed" : "out", t, {1, D, H, c.queries}}});
        if (c.transposes) w.op("transpose", {{"x", "mixed"}, {"perm", w.ints({0, 2, 3, 1})}}, {{"out", t, l.output}});
    } else if (c.matmul) {
        w.op("softmax", {{"x", "logits"}, {"axis", w.scalar(DataType::Int32, -1)}}, {{"p", t, scores}});
        w.op("matmul", {{"x", "p"}, {"y", "v"}}, {{"out", t, l.output}});
    } else {
        w.op("softmax", {{"x", "logits"}}, {{"p", t, scores}});
        w.op("einsum", {{"values", ModelBundleWriter::tuple({"p", "v"})}, {"equation", w.text("bhqk,bhkd->bhqd")}},
             {{"out", t, l.output}});
    }
    w.output("out");
    if (c.returnProbabilities) w.output("p");
    std::vector<float> mask = pattern(countOf(l.mask), 4);
    for (size_t i = 0; i < mask.size(); i += 5) mask[i] = -10000.0f;
    for (size_t i = 3; c.matmul && i < mask.size(); i += 7) mask[i] = -INFINITY;
    const std::string suffix = c.transposes ? "h" : "";
    return Program{w.write(folder / (std::string(c.name) + ".mlmodelc")),
                   {{"q" + suffix, Tensor::of(t, l.query, pattern(countOf(l.query), 1))},
                    {"k" + suffix, Tensor::of(t, l.key, pattern(countOf(l.key), 2))},
                    {"v" + suffix, Tensor::of(t, l.value, pattern(countOf(l.value), 3))},
                    {"mask", Tensor::of(t, l.mask, mask)}},
                   l};
}

// Straight from the definition, in double, from the (rounded) inputs: the
// output, and the probabilities in the scores' layout.
struct Expected {
    std::vector<double> out, probabilities;
};

Expected expectedOutput(const Program& p, const Case& c) {
    const int64_t queries = c.queries;
    const bool maskBeforeScale = c.maskBeforeScale;
    const Shape scores = c.channels ? Shape{1, K, H, queries} : Shape{1, H, queries, K};
    const auto scoreAt = [&](int64_t h, int64_t i, int64_t j) {
        return c.channels ? std::vector<int64_t>{0, j, h, i} : std::vector<int64_t>{0, h, i, j};
    };
    const Layout& l = p.layout;
    const auto input = [&](const std::string& name) {
        const auto found = p.inputs.find(name);
        return (found != p.inputs.end() ? found->second : p.inputs.at(name + "h")).toFloats();
    };
    const auto q = input("q"), k = input("k"), v = input("v");
    const auto mask = p.inputs.at("mask").toFloats();
    std::vector<double> out(static_cast<size_t>(countOf(l.output))), probabilities(static_cast<size_t>(countOf(scores)));
    std::vector<double> weights(static_cast<size_t>(K));
    for (int64_t h = 0; h < H; ++h) {
        for (int64_t i = 0; i < queries; ++i) {
            double largest = -INFINITY;
            for (int64_t j = 0; j < K; ++j) {
                double dot = 0;
                for (int64_t c = 0; c < C; ++c) {
                    dot += double{q[static_cast<size_t>(flat(l.query, l.queryAt(h, i, c)))]} *
                           k[static_cast<size_t>(flat(l.key, l.keyAt(h, j, c)))];
                }
                const double m = mask[static_cast<size_t>(flat(l.mask, l.maskAt(h, i, j)))];
                weights[static_cast<size_t>(j)] = maskBeforeScale ? (dot + m) * kScale : dot * kScale + m;
                largest = std::max(largest, weights[static_cast<size_t>(j)]);
            }
            double total = 0;
            for (auto& x : weights) total += (x = std::exp(x - largest));
            for (int64_t j = 0; j < K; ++j) {
                probabilities[static_cast<size_t>(flat(scores, scoreAt(h, i, j)))] = weights[static_cast<size_t>(j)] / total;
            }
            for (int64_t d = 0; d < D; ++d) {
                double sum = 0;
                for (int64_t j = 0; j < K; ++j) {
                    sum += weights[static_cast<size_t>(j)] / total * v[static_cast<size_t>(flat(l.value, l.valueAt(h, j, d)))];
                }
                out[static_cast<size_t>(flat(l.output, l.outputAt(h, i, d)))] = sum;
            }
        }
    }
    return Expected{out, probabilities};
}

TEST(AttentionFusion, FusesScaledMaskedSoftmaxAttentionInEitherLayout) {
    const Case cases[] = {
        {"channels first fp16", true, false, 37, DataType::Float16, false, false, true},
        {"heads first fp32", false, false, 37, DataType::Float32, false, false, true},
        {"read and written through transposes", true, true, 37, DataType::Float32, false, false, true},
        {"probabilities also returned", true, false, 37, DataType::Float16, true, false, false},
        {"mask scaled too", false, false, 21, DataType::Float32, false, true, false},
        {"single query", true, false, 1, DataType::Float16, false, false, true},
        {"single query read and written through transposes", true, true, 1, DataType::Float16, false, false, true},
        {"single query heads first fp32", false, false, 1, DataType::Float32, false, false, true},
        {"single query, probabilities also returned", true, false, 1, DataType::Float16, true, false, true},
        {"single query heads first, probabilities also returned", false, false, 1, DataType::Float32, true, false, true},
        {"matmul form fp32", false, false, 37, DataType::Float32, false, false, true, true},
        {"matmul form fp16", false, false, 37, DataType::Float16, false, false, true, true},
        {"matmul form, probabilities also returned", false, false, 37, DataType::Float32, true, false, false, true},
        {"matmul form single query", false, false, 1, DataType::Float16, false, false, true, true},
    };
    testsupport::TempDirectory dir;
    for (const auto& c : cases) {
        const Program program = attentionProgram(c, dir.path());
        const auto ops = testsupport::loadedOps(program.bundle);
        EXPECT_EQ(std::count(ops.begin(), ops.end(), "attention"), c.fused ? 1 : 0) << c.name;
        EXPECT_EQ(std::count(ops.begin(), ops.end(), "softmax"), c.fused ? 0 : 1) << c.name;
        EXPECT_EQ(std::count(ops.begin(), ops.end(), "transpose"), c.transposes && !c.fused ? 4 : 0) << c.name;
        const auto outputs = RuntimeModel::load(program.bundle)->predict(program.inputs);
        const auto out = outputs.at("out").toFloats();
        const Expected expected = expectedOutput(program, c);
        ASSERT_EQ(out.size(), expected.out.size()) << c.name;
        // fp16 keeps about three decimal digits; the unfused path also rounds
        // the scores and probabilities to it.
        const double tolerance = c.type == DataType::Float16 ? 4e-3 : 1e-5;
        for (size_t i = 0; i < out.size(); ++i) {
            ASSERT_NEAR(out[i], expected.out[i], tolerance) << c.name << " at " << i;
        }
        if (!c.returnProbabilities) continue;
        const auto probabilities = outputs.at("p").toFloats();
        ASSERT_EQ(probabilities.size(), expected.probabilities.size()) << c.name;
        for (size_t i = 0; i < probabilities.size(); ++i) {
            ASSERT_NEAR(probabilities[i], expected.probabilities[i], tolerance) << c.name << " probability at " << i;
        }
    }
}

// A decoder step's self-attention as the trio writes it: the key and value
// caches [1, H * C, 1, S] merged with the step's entry through the update
// mask (cache * (1 - slot) + entry * slot), then split into heads. The merge
// is read inside the attention, and must give the bits of the attention
// over the merged cache written out, which the second program returns too.
Program mergedCacheAttention(DataType t, int64_t slots, bool returnMerged, const std::filesystem::path& folder) {
    ModelBundleWriter w(ModelBundleWriter::Dialect::program13, "ios16");
    const Shape cache{1, H * C, 1, slots}, entry{1, H * C, 1, 1}, mask{1, 1, 1, slots};
    for (const char* name : {"key_cache", "value_cache"}) w.input(name, t, cache);
    for (const char* name : {"q", "key", "value"}) w.input(name, t, entry);
    w.input("slot", t, mask);
    w.op("sub", {{"x", w.scalar(t, 1.0)}, {"y", "slot"}}, {{"keep", t, mask}});
    for (const std::string role : {"key", "value"}) {
        w.op("mul", {{"x", role + "_cache"}, {"y", "keep"}}, {{role + "_old", t, cache}});
        w.op("mul", {{"x", role}, {"y", "slot"}}, {{role + "_fresh", t, cache}});
        w.op("add", {{"x", role + "_old"}, {"y", role + "_fresh"}}, {{role + "_merged", t, cache}});
        w.op("reshape", {{"x", role + "_merged"}, {"shape", w.ints({1, H, C, slots})}}, {{role + "_heads", t, {1, H, C, slots}}});
    }
    w.op("reshape", {{"x", "q"}, {"shape", w.ints({1, H, C, 1})}}, {{"qh", t, {1, H, C, 1}}});
    w.op("transpose", {{"x", "qh"}, {"perm", w.ints({0, 2, 1, 3})}}, {{"qt", t, {1, C, H, 1}}});
    w.op("transpose", {{"x", "key_heads"}, {"perm", w.ints({0, 3, 1, 2})}}, {{"kt", t, {1, slots, H, C}}});
    w.op("einsum", {{"values", ModelBundleWriter::tuple({"qt", "kt"})}, {"equation", w.text("bchq,bkhc->bkhq")}},
         {{"scores", t, {1, slots, H, 1}}});
    w.op("mul", {{"x", "scores"}, {"y", w.scalar(t, kScale)}}, {{"scaled", t, {1, slots, H, 1}}});
    w.op("softmax", {{"x", "scaled"}, {"axis", w.scalar(DataType::Int32, 1)}}, {{"p", t, {1, slots, H, 1}}});
    w.op("transpose", {{"x", "value_heads"}, {"perm", w.ints({0, 2, 1, 3})}}, {{"vt", t, {1, C, H, slots}}});
    w.op("einsum", {{"values", ModelBundleWriter::tuple({"vt", "p"})}, {"equation", w.text("bchk,bkhq->bchq")}},
         {{"out", t, {1, C, H, 1}}});
    w.output("out");
    if (returnMerged) {
        w.output("key_merged");
        w.output("value_merged");
    }
    std::vector<float> slot = pattern(slots, 9);
    for (auto& x : slot) x = std::fabs(x);  // no one-hot: every product and sum rounds
    return Program{w.write(folder / ((returnMerged ? "returned " : "read ") + std::string(name(t)) + std::to_string(slots) + ".mlmodelc")),
                   {{"key_cache", Tensor::of(t, cache, pattern(countOf(cache), 5))},
                    {"value_cache", Tensor::of(t, cache, pattern(countOf(cache), 6))},
                    {"q", Tensor::of(t, entry, pattern(countOf(entry), 7))},
                    {"key", Tensor::of(t, entry, pattern(countOf(entry), 8))},
                    {"value", Tensor::of(t, entry, pattern(countOf(entry), 10))},
                    {"slot", Tensor::of(t, mask, slot)}},
                   {}};
}

TEST(AttentionFusion, ReadsADecoderCacheMergedWithItsEntryWithoutWritingItOut) {
    testsupport::TempDirectory dir;
    for (DataType t : {DataType::Float16, DataType::Float32}) {
        // Rows long enough for whole runs, with a tail, and too short for them.
        for (int64_t slots : {229, 19}) {
            const std::string label = std::string(name(t)) + ", " + std::to_string(slots) + " slots";
            const Program read = mergedCacheAttention(t, slots, false, dir.path());
            const Program returned = mergedCacheAttention(t, slots, true, dir.path());
            const auto ops = testsupport::loadedOps(read.bundle);
            EXPECT_EQ(std::count(ops.begin(), ops.end(), "attention"), 1) << label;
            EXPECT_EQ(std::count(ops.begin(), ops.end(), "add") + std::count(ops.begin(), ops.end(), "mul"), 0) << label;
            const auto got = RuntimeModel::load(read.bundle)->predict(read.inputs).at("out").toFloats();
            const auto want = RuntimeModel::load(returned.bundle)->predict(returned.inputs).at("out").toFloats();
            ASSERT_EQ(got.size(), want.size()) << label;
            for (size_t i = 0; i < got.size(); ++i) ASSERT_EQ(got[i], want[i]) << label << " at " << i;
        }
    }
}

}  // namespace
}  // namespace platform::coreml::runtime

#include <cmath>

#include <gtest/gtest.h>

#include "platform/coreml/runtime/RuntimeModel.h"
#include "tests/support/LoadedGraph.h"
#include "tests/support/ModelBundleWriter.h"
#include "tests/support/TempDirectory.h"

namespace platform::coreml::runtime {
namespace {

using testsupport::ModelBundleWriter;
constexpr int64_t C = 5, S = 19;

std::vector<float> values(size_t n, float scale, float offset) {
    std::vector<float> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = offset + scale * static_cast<float>((i * 7 + 2) % 9);
    return v;
}

// cache * (1 - slot) + entry * slot, a decoder's cache merge, with the
// intermediate `old` also returned or read twice when the case asks for it.
struct Case {
    const char* name;
    DataType type;
    bool returnOld;
    bool readOldTwice;
    size_t nodes;  // after fusion
};

struct MergeBundle {
    std::filesystem::path bundle;
    std::map<std::string, Tensor> inputs;
};

MergeBundle mergeProgram(const Case& c, const std::filesystem::path& folder) {
    ModelBundleWriter w(ModelBundleWriter::Dialect::program13, "ios16");
    const Shape full{1, C, 1, S};
    w.input("cache", c.type, full);
    w.input("entry", c.type, {1, C, 1, 1});
    w.input("slot", c.type, {1, 1, 1, S});
    w.op("sub", {{"x", w.scalar(c.type, 1.0)}, {"y", "slot"}}, {{"keep", c.type, {1, 1, 1, S}}});
    w.op("mul", {{"x", "cache"}, {"y", "keep"}}, {{"old", c.type, full}});
    w.op("mul", {{"x", "entry"}, {"y", "slot"}}, {{"fresh", c.type, full}});
    w.op("add", {{"x", "old"}, {"y", "fresh"}}, {{"merged", c.type, full}});
    std::string result = "merged";
    if (c.readOldTwice) {
        w.op("sub", {{"x", "merged"}, {"y", "old"}}, {{"difference", c.type, full}});
        result = "difference";
    }
    w.output(result);
    if (c.returnOld) w.output("old");
    std::vector<float> slot(S, 0.0f);
    slot[7] = 1.0f;
    return MergeBundle{w.write(folder / (std::string(c.name) + ".mlmodelc")),
                   {{"cache", Tensor::of(c.type, full, values(C * S, 0.25f, -1.0f))},
                    {"entry", Tensor::of(c.type, {1, C, 1, 1}, values(C, 0.5f, 0.125f))},
                    {"slot", Tensor::of(c.type, {1, 1, 1, S}, slot)}}};
}

TEST(ElementwiseFusion, MergesTreesWhoseInnerResultsNobodyElseReads) {
    const Case cases[] = {
        {"fp16 cache merge", DataType::Float16, false, false, 2},
        {"fp32 cache merge", DataType::Float32, false, false, 2},
        {"inner result also returned", DataType::Float32, true, false, 3},
        {"inner result read twice", DataType::Float32, false, true, 3},
    };
    testsupport::TempDirectory dir;
    for (const auto& c : cases) {
        const MergeBundle program = mergeProgram(c, dir.path());
        EXPECT_EQ(testsupport::loadedOps(program.bundle).size(), c.nodes) << c.name;
        const auto outputs = RuntimeModel::load(program.bundle)->predict(program.inputs);
        const auto cache = program.inputs.at("cache").toFloats(), entry = program.inputs.at("entry").toFloats();
        const auto slot = program.inputs.at("slot").toFloats();
        const auto merged = outputs.begin()->second.toFloats();
        for (int64_t ch = 0; ch < C; ++ch) {
            for (int64_t s = 0; s < S; ++s) {
                const auto i = static_cast<size_t>(ch * S + s);
                const float old = cache[i] * (1 - slot[static_cast<size_t>(s)]);
                const float expected = c.readOldTwice ? entry[static_cast<size_t>(ch)] * slot[static_cast<size_t>(s)]
                                                      : old + entry[static_cast<size_t>(ch)] * slot[static_cast<size_t>(s)];
                EXPECT_NEAR(merged[i], expected, 1e-3f) << c.name << " at " << ch << ", " << s;
                if (c.returnOld) {
                    EXPECT_NEAR(outputs.at("old").toFloats()[i], old, 1e-6f) << c.name;
                }
            }
        }
    }
}

// A merge over rows as long as a decoder's 224-slot cache and longer, with a
// mask that is no one-hot (so that every product and the sum round), must
// give the bits of the unfused arithmetic: each product and the sum in fp32,
// the sum alone rounded to the declared type. Row lengths leave every tail a
// vector loop can leave.
TEST(ElementwiseFusion, MergesLongRowsToTheBitsOfStepByStepArithmetic) {
    testsupport::TempDirectory dir;
    constexpr int64_t planes = 2, rows = 3;
    // An entry per row and one slot row for all; or an entry per row of a
    // plane and a slot row per plane, which keeps three dimensions in the
    // merged layout, so that the rows' places jump from one plane to the next.
    for (const bool slotPerPlane : {false, true}) {
        for (auto type : {DataType::Float16, DataType::Float32}) {
            for (int64_t length : {224, 229, 230, 231, 1501}) {
                const Shape full{1, planes, rows, length};
                const Shape entryShape{1, slotPerPlane ? 1 : planes, rows, 1};
                const Shape slotShape{1, slotPerPlane ? planes : 1, 1, length};
                ModelBundleWriter w(ModelBundleWriter::Dialect::program13, "ios16");
                w.input("cache", type, full);
                w.input("entry", type, entryShape);
                w.input("slot", type, slotShape);
                w.op("sub", {{"x", w.scalar(type, 1.0)}, {"y", "slot"}}, {{"keep", type, slotShape}});
                w.op("mul", {{"x", "cache"}, {"y", "keep"}}, {{"old", type, full}});
                w.op("mul", {{"x", "entry"}, {"y", "slot"}}, {{"fresh", type, full}});
                w.op("add", {{"x", "old"}, {"y", "fresh"}}, {{"merged", type, full}});
                w.output("merged");
                const std::string label = std::string(name(type)) + " rows of " + std::to_string(length) +
                                          (slotPerPlane ? ", a slot row per plane" : "");
                const auto bundle = w.write(dir.path() / (label + ".mlmodelc"));
                EXPECT_EQ(testsupport::loadedOps(bundle).size(), 2u) << label;
                const Tensor cache = Tensor::of(type, full, values(static_cast<size_t>(countOf(full)), 0.37f, -1.3f));
                const Tensor entry = Tensor::of(type, entryShape, values(static_cast<size_t>(countOf(entryShape)), 0.61f, 0.11f));
                const Tensor slot = Tensor::of(type, slotShape, values(static_cast<size_t>(countOf(slotShape)), 0.13f, 0.05f));
                const Tensor merged =
                    RuntimeModel::load(bundle)->predict({{"cache", cache}, {"entry", entry}, {"slot", slot}}).at("merged");
                const auto rounded = [type](float v) {
                    return type == DataType::Float16 ? Tensor::of(type, {1}, std::vector<float>{v}).toFloats()[0] : v;
                };
                const auto c = cache.toFloats(), e = entry.toFloats(), m = slot.toFloats(), got = merged.toFloats();
                for (int64_t r = 0; r < planes * rows; ++r) {
                    const float given = e[static_cast<size_t>(slotPerPlane ? r % rows : r)];
                    const float* slotRow = m.data() + (slotPerPlane ? r / rows * length : 0);
                    for (int64_t k = 0; k < length; ++k) {
                        const auto i = static_cast<size_t>(r * length + k);
                        const float keep = rounded(1.0f - slotRow[k]);
                        const float old = c[i] * keep;
                        const float fresh = given * slotRow[k];
                        ASSERT_EQ(got[i], rounded(old + fresh)) << label << " at " << r << ", " << k;
                    }
                }
            }
        }
    }
}

// Attention's scaled and masked scores, (scores * scale) + mask with the mask
// [1, K, 1, 1] repeated across the heads: runs of H elements, H odd, that
// straddle the conversion blocks.
TEST(ElementwiseFusion, MasksScoresAcrossHeadsInOnePass) {
    constexpr int64_t K = 301, H = 7;
    testsupport::TempDirectory dir;
    for (auto type : {DataType::Float16, DataType::Float32}) {
        ModelBundleWriter w(ModelBundleWriter::Dialect::program13, "ios16");
        w.input("scores", type, {1, K, H, 1});
        w.input("mask", type, {1, K, 1, 1});
        w.op("mul", {{"x", "scores"}, {"y", w.scalar(type, 0.125)}}, {{"scaled", type, {1, K, H, 1}}});
        w.op("add", {{"x", "scaled"}, {"y", "mask"}}, {{"masked", type, {1, K, H, 1}}});
        w.output("masked");
        const auto bundle = w.write(dir.path() / (std::string(name(type)) + ".mlmodelc"));
        EXPECT_EQ(testsupport::loadedOps(bundle).size(), 1u);
        std::vector<float> mask(K);
        for (int64_t k = 0; k < K; ++k) mask[static_cast<size_t>(k)] = k % 5 == 3 ? -10000.0f : 0.25f * static_cast<float>(k % 4);
        const Tensor scores = Tensor::of(type, {1, K, H, 1}, values(K * H, 0.5f, -2.0f));
        const auto outputs = RuntimeModel::load(bundle)->predict({{"scores", scores}, {"mask", Tensor::of(type, {1, K, 1, 1}, mask)}});
        const auto masked = outputs.at("masked").toFloats();
        const auto given = scores.toFloats();
        for (int64_t k = 0; k < K; ++k) {
            for (int64_t h = 0; h < H; ++h) {
                const auto i = static_cast<size_t>(k * H + h);
                const float expected = given[i] * 0.125f + mask[static_cast<size_t>(k)];
                EXPECT_NEAR(masked[i], expected, std::fabs(expected) * 1e-3f) << name(type) << " at " << k << ", " << h;
            }
        }
    }
}

}  // namespace
}  // namespace platform::coreml::runtime

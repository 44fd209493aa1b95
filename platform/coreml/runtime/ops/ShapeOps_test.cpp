#include <gtest/gtest.h>

#include "tests/support/ArrayConversions.h"
#include "tests/support/OpRunner.h"

namespace platform::coreml::runtime {
namespace {

using testsupport::OpRunner;
namespace ref = testsupport::reference;

std::vector<float> iota(size_t n) {
    std::vector<float> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<float>(i);
    return v;
}

TEST(ShapeOps, ReshapeInfersAndCopiesDimensions) {
    struct Case {
        std::vector<int64_t> target;
        Shape expected;
    };
    const Case cases[] = {{{0, -1}, {2, 12}}, {{-1, 4, 1}, {6, 4, 1}}, {{2, 3, 0, 1}, {2, 3, 4, 1}}};
    for (const auto& c : cases) {
        OpRunner runner;
        runner.input("x", Tensor::of(DataType::Float16, {2, 3, 4}, iota(24)));
        const auto out = runner.run("reshape", {{"x", "x"}, {"shape", runner.writer().ints(c.target)}},
                                    {{"y", DataType::Float16, c.expected}});
        EXPECT_EQ(out[0].shape(), c.expected);
        EXPECT_EQ(out[0].toFloats(), iota(24));
    }
}

TEST(ShapeOps, TransposeConcatAndSplit) {
    OpRunner runner;
    auto& w = runner.writer();
    runner.input("x", Tensor::of(DataType::Float32, {2, 3}, iota(6)));
    w.op("transpose", {{"x", "x"}, {"perm", w.ints({1, 0})}}, {{"t", DataType::Float32, {3, 2}}});
    w.op("concat", {{"values", "(t, t)"}, {"axis", w.scalar(DataType::Int32, 1)}}, {{"c", DataType::Float32, {3, 4}}});
    w.op("concat", {{"values", "(t, t)"}, {"axis", w.scalar(DataType::Int32, 1)}, {"interleave", w.boolean(true)}},
         {{"i", DataType::Float32, {3, 4}}});
    w.output("t");
    w.output("c");
    w.output("i");
    const auto out = runner.run("split", {{"x", "c"}, {"split_sizes", w.ints({1, 3})}, {"axis", w.scalar(DataType::Int32, 1)}},
                                {{"s0", DataType::Float32, {3, 1}}, {"s1", DataType::Float32, {3, 3}}});
    EXPECT_EQ(out[0].toFloats(), (std::vector<float>{0, 1, 2}));
    EXPECT_EQ(out[1].toFloats(), (std::vector<float>{3, 0, 3, 4, 1, 4, 5, 2, 5}));
}

// Permutations that only move axes of size 1, that keep the innermost axis,
// and true transposes with partial tiles, batches and merged neighbours.
TEST(ShapeOps, TransposeMovesEveryElementWhereItsIndexSays) {
    struct Case {
        Shape shape;
        std::vector<int64_t> perm;
    };
    const Case cases[] = {
        {{1, 8, 64, 1}, {0, 2, 1, 3}}, {{1, 8, 6, 13}, {0, 3, 1, 2}}, {{3, 1, 5, 1, 7}, {4, 1, 0, 3, 2}},
        {{2, 3, 17, 19}, {0, 1, 3, 2}}, {{4, 1, 6}, {1, 0, 2}},        {{5, 7, 3}, {1, 0, 2}},
        {{3, 150, 100}, {-1, 0, 1}},    {{1, 64, 8, 1}, {0, 2, 1, 3}}, {{6, 1}, {1, 0}},
        {{1, 5, 1, 3}, {2, 1, 3, 0}},
        // Large enough to be split between workers.
        {{2, 300, 451}, {0, 2, 1}},     {{300, 2, 451}, {1, 0, 2}},
    };
    uint32_t seed = 40;
    for (const auto& c : cases) {
        const ref::Array x = ref::filled(c.shape, seed++, 100.0f);
        Shape outShape;
        std::vector<size_t> axes;
        for (int64_t p : c.perm) {
            axes.push_back(static_cast<size_t>(p < 0 ? p + static_cast<int64_t>(c.shape.size()) : p));
            outShape.push_back(c.shape[axes.back()]);
        }
        for (auto type : {DataType::Float16, DataType::Float32, DataType::Int32}) {
            const Tensor input = testsupport::toTensor(x, type);
            const ref::Array given = testsupport::toArray(input);
            ref::Array want{outShape, std::vector<float>(x.values.size())};
            for (const auto& index : ref::allIndices(outShape)) {
                std::vector<int64_t> from(index.size());
                for (size_t i = 0; i < index.size(); ++i) from[axes[i]] = index[i];
                want.at(index) = given.at(from);
            }
            OpRunner runner;
            runner.input("x", input);
            const auto out = runner.run("transpose", {{"x", "x"}, {"perm", runner.writer().ints(c.perm)}}, {{"y", type, outShape}});
            testsupport::expectClose(want, out[0], 0, describe(c.shape) + " as " + std::string(name(type)));
        }
    }
}

// Split along the outermost axis that is not 1 shares the input's storage;
// along an inner axis it copies. Both must give the same parts.
TEST(ShapeOps, SplitPartsAlongOuterAndInnerAxes) {
    struct Case {
        Shape shape;
        int64_t axis;
        std::vector<int64_t> sizes;
    };
    const Case cases[] = {{{1, 9, 1, 5}, 1, {2, 4, 3}}, {{1, 9, 1, 5}, -3, {9}}, {{3, 4, 5}, 1, {1, 3}}, {{1, 1, 6}, -1, {5, 1}}};
    for (const auto& c : cases) {
        const auto count = static_cast<size_t>(countOf(c.shape));
        const ref::Array x{c.shape, iota(count)};
        OpRunner runner;
        auto& w = runner.writer();
        runner.input("x", testsupport::toTensor(x, DataType::Float16));
        const auto axis = static_cast<size_t>(c.axis < 0 ? c.axis + static_cast<int64_t>(c.shape.size()) : c.axis);
        std::vector<testsupport::ModelBundleWriter::Output> parts;
        int64_t begin = 0;
        std::vector<ref::Array> expected;
        for (size_t i = 0; i < c.sizes.size(); ++i) {
            Shape shape = c.shape;
            shape[axis] = c.sizes[i];
            std::vector<int64_t> from(c.shape.size(), 0), to(c.shape.begin(), c.shape.end()), step(c.shape.size(), 1);
            from[axis] = begin;
            to[axis] = begin + c.sizes[i];
            expected.push_back(ref::sliceByIndex(x, from, to, step));
            parts.push_back({"part" + std::to_string(i), DataType::Float16, shape});
            begin += c.sizes[i];
        }
        const auto out = runner.run("split", {{"x", "x"}, {"split_sizes", w.ints(c.sizes)}, {"axis", w.scalar(DataType::Int32, static_cast<double>(c.axis))}},
                                    parts);
        ASSERT_EQ(out.size(), expected.size());
        for (size_t i = 0; i < out.size(); ++i) testsupport::expectClose(expected[i], out[i], 0, describe(c.shape) + " part " + std::to_string(i));
    }
}

TEST(ShapeOps, PadInEveryMode) {
    const ref::Array x{{2, 3}, iota(6)};
    struct Case {
        std::string mode;
        std::vector<int64_t> pads;
    };
    const Case cases[] = {
        {"constant", {1, 0, 2, 1}}, {"reflect", {1, 1, 2, 2}}, {"replicate", {0, 2, 3, 1}}, {"reflect", {0, 0, 2, 1}}};
    for (const auto& c : cases) {
        const auto expected = ref::pad(x, c.pads, c.mode, -1.5f);
        OpRunner runner;
        auto& w = runner.writer();
        runner.input("x", testsupport::toTensor(x, DataType::Float16));
        const auto out = runner.run("pad",
                                    {{"x", "x"}, {"pad", w.ints(c.pads)}, {"mode", w.text(c.mode)},
                                     {"constant_val", w.scalar(DataType::Float32, -1.5)}},
                                    {{"y", DataType::Float16, expected.shape}});
        testsupport::expectClose(expected, out[0], 0, c.mode);
    }
}

}  // namespace
}  // namespace platform::coreml::runtime

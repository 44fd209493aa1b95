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

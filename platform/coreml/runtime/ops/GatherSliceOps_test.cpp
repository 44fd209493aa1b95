#include <gtest/gtest.h>

#include "platform/coreml/runtime/RuntimeError.h"
#include "platform/coreml/runtime/RuntimeModel.h"
#include "tests/support/ArrayConversions.h"
#include "tests/support/OpRunner.h"

namespace platform::coreml::runtime {
namespace {

using testsupport::ModelBundleWriter;
using testsupport::OpRunner;
namespace ref = testsupport::reference;

TEST(GatherSliceOps, SliceByIndexFollowsPythonSlices) {
    struct Case {
        std::vector<int64_t> begin, end, stride;
    };
    const Case cases[] = {
        {{0, 1, 0}, {2, 3, 4}, {1, 1, 1}},
        {{-1, -3, 0}, {-3, 4, -1}, {-1, 1, 2}},
        {{5, -100, 3}, {-5, 100, -5}, {-1, 2, -1}},
        {{1, 0, -2}, {2, 3, -1}, {1, 3, 1}},
    };
    const ref::Array x = ref::filled({3, 3, 4}, 300);
    for (const auto& c : cases) {
        const auto expected = ref::sliceByIndex(x, c.begin, c.end, c.stride);
        OpRunner runner;
        auto& w = runner.writer();
        runner.input("x", testsupport::toTensor(x));
        const auto out = runner.run("slice_by_index",
                                    {{"x", "x"}, {"begin", w.ints(c.begin)}, {"end", w.ints(c.end)}, {"stride", w.ints(c.stride)}},
                                    {{"y", DataType::Float32, expected.shape}});
        testsupport::expectClose(expected, out[0], 0, describe(c.begin));
    }
}

TEST(GatherSliceOps, SliceMasksAndSizes) {
    OpRunner runner;
    auto& w = runner.writer();
    runner.input("x", Tensor::of(DataType::Float32, {2, 4}, std::vector<float>{0, 1, 2, 3, 4, 5, 6, 7}));
    const auto mask = [&](std::vector<int64_t> v) {
        return ModelBundleWriter::typeText(DataType::Bool, {2}) + "([" + (v[0] ? "true" : "false") + ", " + (v[1] ? "true" : "false") + "])";
    };
    w.op("slice_by_index",
         {{"x", "x"}, {"begin", w.ints({-1, 9})}, {"end", w.ints({0, 2})}, {"begin_mask", mask({0, 1})},
          {"end_mask", mask({0, 0})}, {"squeeze_mask", mask({1, 0})}},
         {{"row", DataType::Float32, {2}}});
    w.output("row");
    const auto out = runner.run("slice_by_size", {{"x", "x"}, {"begin", w.ints({1, 1})}, {"size", w.ints({-1, 2})}},
                                {{"box", DataType::Float32, {1, 2}}});
    EXPECT_EQ(out[0].toFloats(), (std::vector<float>{5, 6}));
}

TEST(GatherSliceOps, GatherTakesNegativeIndicesAndRefusesOutOfRangeOnes) {
    const ref::Array table = ref::filled({5, 3}, 400);
    for (int64_t axis : {0, 1}) {
        const std::vector<int64_t> indices{-1, 0, 2, -2};
        const auto expected = ref::gather(table, indices, {2, 2}, axis);
        OpRunner runner;
        runner.input("x", testsupport::toTensor(table, DataType::Float16));
        runner.input("i", Tensor::of(DataType::Int32, {2, 2}, indices));
        const auto out = runner.run("gather", {{"x", "x"}, {"indices", "i"}, {"axis", runner.writer().scalar(DataType::Int32, static_cast<double>(axis))}},
                                    {{"y", DataType::Float16, expected.shape}});
        testsupport::expectClose(expected, out[0], 1e-3f);
    }
    OpRunner runner;
    runner.input("x", testsupport::toTensor(table));
    runner.input("i", Tensor::of(DataType::Int32, {1}, std::vector<int32_t>{5}));
    try {
        runner.run("gather", {{"x", "x"}, {"indices", "i"}}, {{"y", DataType::Float32, {1, 3}}});
        ADD_FAILURE() << "an index past the table was read";
    } catch (const PredictionError& error) {
        EXPECT_EQ(error.kind(), PredictionError::Kind::invalidInputValue);
    }
}

}  // namespace
}  // namespace platform::coreml::runtime

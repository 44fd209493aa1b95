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
        // Runs of the input (shared, not copied), rows, single elements and a
        // reversed innermost dimension.
        {{1, 0, 0}, {2, 3, 4}, {1, 1, 1}},
        {{2, 1, 0}, {3, 3, 4}, {1, 1, 1}},
        {{0, 2, 1}, {3, 3, 3}, {1, 1, 1}},
        {{1, 1, 3}, {2, 2, 4}, {1, 1, 1}},
        {{0, 0, -1}, {3, 3, -5}, {1, 1, -1}},
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

TEST(GatherSliceOps, GatherWithBatchDimsUsesEachBatchsOwnIndices) {
    // x [2, 3, 4], indices [2, 2]: batch b picks rows of x[b] along axis 1.
    std::vector<float> x(24);
    for (size_t i = 0; i < x.size(); ++i) x[i] = static_cast<float>(i);
    const std::vector<int64_t> indices = {2, -3, 1, 1};
    std::vector<float> expected;
    for (int64_t b = 0; b < 2; ++b) {
        for (int64_t i = 0; i < 2; ++i) {
            int64_t row = indices[static_cast<size_t>(b * 2 + i)];
            if (row < 0) row += 3;
            for (int64_t c = 0; c < 4; ++c) expected.push_back(x[static_cast<size_t>((b * 3 + row) * 4 + c)]);
        }
    }
    OpRunner runner(ModelBundleWriter::Dialect::program13, "ios16");
    auto& w = runner.writer();
    runner.input("x", Tensor::of(DataType::Float32, {2, 3, 4}, x));
    runner.input("i", Tensor::of(DataType::Int32, {2, 2}, indices));
    const auto out = runner.run("gather",
                                {{"x", "x"}, {"indices", "i"}, {"axis", w.scalar(DataType::Int32, 1)},
                                 {"batch_dims", w.scalar(DataType::Int32, 1)}},
                                {{"y", DataType::Float32, {2, 2, 4}}});
    EXPECT_EQ(out[0].toFloats(), expected);
}

TEST(GatherSliceOps, SliceUpdateWritesTheSliceAtKnownOrRunTimePositions) {
    struct Case {
        std::string name;
        std::vector<int64_t> begin, end, stride;
        Shape update;
        bool positionsAsInputs;
    } cases[] = {
        {"one row", {1, 0}, {2, 4}, {1, 1}, {1, 4}, false},
        {"negative positions", {-2, -3}, {4, -1}, {1, 1}, {2, 2}, false},
        {"strided columns", {0, 0}, {4, 4}, {2, 3}, {2, 2}, false},
        {"cache position at run time", {3, 0}, {4, 4}, {1, 1}, {1, 4}, true},
    };
    std::vector<float> x(16);
    for (size_t i = 0; i < x.size(); ++i) x[i] = static_cast<float>(i);
    for (const auto& c : cases) {
        std::vector<float> values(static_cast<size_t>(countOf(c.update)));
        for (size_t i = 0; i < values.size(); ++i) values[i] = -1.0f - static_cast<float>(i);
        // Python slice semantics, written out per dimension.
        std::vector<float> expected = x;
        std::vector<int64_t> rows, cols;
        const auto positions = [](int64_t b, int64_t e, int64_t s) {
            if (b < 0) b += 4;
            if (e < 0) e += 4;
            std::vector<int64_t> p;
            for (int64_t i = b; i < std::min<int64_t>(e, 4); i += s) p.push_back(i);
            return p;
        };
        rows = positions(c.begin[0], c.end[0], c.stride[0]);
        cols = positions(c.begin[1], c.end[1], c.stride[1]);
        size_t next = 0;
        for (int64_t r : rows) {
            for (int64_t col : cols) expected[static_cast<size_t>(r * 4 + col)] = values[next++];
        }
        OpRunner runner(ModelBundleWriter::Dialect::program13, "ios18");
        auto& w = runner.writer();
        runner.input("x", Tensor::of(DataType::Float16, {4, 4}, x));
        runner.input("u", Tensor::of(DataType::Float16, c.update, values));
        std::string begin = w.ints(c.begin), end = w.ints(c.end);
        if (c.positionsAsInputs) {
            begin = runner.input("b", Tensor::of(DataType::Int32, {2}, c.begin));
            end = runner.input("e", Tensor::of(DataType::Int32, {2}, c.end));
        }
        const auto out = runner.run("slice_update",
                                    {{"x", "x"}, {"update", "u"}, {"begin", begin}, {"end", end}, {"stride", w.ints(c.stride)}},
                                    {{"y", DataType::Float16, {4, 4}}});
        EXPECT_EQ(out[0].toFloats(), expected) << c.name;
    }
}

TEST(GatherSliceOps, SliceUpdateRefusesAnUpdateOfTheWrongSize) {
    OpRunner runner(ModelBundleWriter::Dialect::program13, "ios18");
    auto& w = runner.writer();
    runner.input("x", Tensor(DataType::Float32, {4, 4}));
    runner.input("u", Tensor(DataType::Float32, {1, 3}));
    try {
        runner.run("slice_update", {{"x", "x"}, {"update", "u"}, {"begin", w.ints({0, 0})}, {"end", w.ints({1, 4})}},
                   {{"y", DataType::Float32, {4, 4}}});
        ADD_FAILURE() << "a short update loaded";
    } catch (const ModelLoadError& error) {
        EXPECT_NE(std::string(error.what()).find("slice_update: update [1, 3] does not fill the slice [1, 4]"),
                  std::string::npos)
            << error.what();
    }
}

}  // namespace
}  // namespace platform::coreml::runtime

#include <gtest/gtest.h>

#include "platform/coreml/runtime/RuntimeError.h"
#include "tests/support/OpRunner.h"

namespace platform::coreml::runtime {
namespace {

using testsupport::ModelBundleWriter;
using testsupport::OpRunner;

TEST(ConstructionOps, TileRepeatsAlongEveryDimension) {
    struct Case {
        Shape in;
        std::vector<int64_t> reps;
    } cases[] = {{{2, 3}, {2, 1}}, {{2, 3}, {1, 3}}, {{1, 2, 2}, {3, 2, 2}}, {{4}, {2}}};
    for (const auto& c : cases) {
        std::vector<float> x(static_cast<size_t>(countOf(c.in)));
        for (size_t i = 0; i < x.size(); ++i) x[i] = static_cast<float>(i) + 0.5f;
        Shape out = c.in;
        for (size_t d = 0; d < out.size(); ++d) out[d] *= c.reps[d];
        // Output element at index p reads input index p mod in, per dimension.
        std::vector<float> expected;
        const Shape inStrides = stridesOf(c.in);
        for (int64_t i = 0; i < countOf(out); ++i) {
            int64_t rest = i, source = 0;
            for (size_t d = out.size(); d-- > 0;) {
                source += (rest % out[d]) % c.in[d] * inStrides[d];
                rest /= out[d];
            }
            expected.push_back(x[static_cast<size_t>(source)]);
        }
        OpRunner runner;
        runner.input("x", Tensor::of(DataType::Float16, c.in, x));
        const auto result = runner.run("tile", {{"x", "x"}, {"reps", runner.writer().ints(c.reps)}},
                                       {{"y", DataType::Float16, out}});
        EXPECT_EQ(result[0].toFloats(), expected) << describe(c.in) << " x " << describe(c.reps);
    }
}

TEST(ConstructionOps, BandPartKeepsTheDiagonalsAsked) {
    struct Case {
        int64_t lower, upper;
    } cases[] = {{-1, 0}, {0, -1}, {1, 1}, {0, 0}, {-1, -1}, {2, 0}};
    constexpr int64_t rows = 3, cols = 4;
    std::vector<float> x(2 * rows * cols);
    for (size_t i = 0; i < x.size(); ++i) x[i] = static_cast<float>(i) + 1;
    for (const auto& c : cases) {
        std::vector<float> expected = x;
        for (int64_t m = 0; m < 2; ++m) {
            for (int64_t i = 0; i < rows; ++i) {
                for (int64_t j = 0; j < cols; ++j) {
                    const bool below = c.lower >= 0 && i - j > c.lower;
                    const bool above = c.upper >= 0 && j - i > c.upper;
                    if (below || above) expected[static_cast<size_t>((m * rows + i) * cols + j)] = 0;
                }
            }
        }
        OpRunner runner;
        auto& w = runner.writer();
        runner.input("x", Tensor::of(DataType::Float32, {2, rows, cols}, x));
        const auto out = runner.run("band_part",
                                    {{"x", "x"}, {"lower", w.scalar(DataType::Int32, static_cast<double>(c.lower))},
                                     {"upper", w.scalar(DataType::Int32, static_cast<double>(c.upper))}},
                                    {{"y", DataType::Float32, {2, rows, cols}}});
        EXPECT_EQ(out[0].toFloats(), expected) << c.lower << ", " << c.upper;
    }
}

TEST(ConstructionOps, FillRangeAndShape) {
    {
        OpRunner runner;
        auto& w = runner.writer();
        runner.input("x", Tensor(DataType::Float32, {2, 3}));
        const auto out = runner.run("fill", {{"shape", w.ints({2, 3})}, {"value", w.scalar(DataType::Float32, -1e4)}},
                                    {{"y", DataType::Float32, {2, 3}}});
        EXPECT_EQ(out[0].toFloats(), std::vector<float>(6, -1e4f));
    }
    struct Range {
        float start, end, step;
        std::vector<float> expected;
    } ranges[] = {{0, 5, 1, {0, 1, 2, 3, 4}}, {1, 8, 3, {1, 4, 7}}, {5, 0, -2, {5, 3, 1}}, {3, 3, 1, {}}};
    for (const auto& r : ranges) {
        for (DataType type : {DataType::Int32, DataType::Float32}) {
            OpRunner runner;
            auto& w = runner.writer();
            runner.input("s", Tensor::of(type, {}, std::vector<float>{r.start}));
            const auto out = runner.run("range_1d",
                                        {{"start", "s"}, {"end", w.scalar(type, r.end)}, {"step", w.scalar(type, r.step)}},
                                        {{"y", type, {static_cast<int64_t>(r.expected.size())}}});
            EXPECT_EQ(out[0].toFloats(), r.expected) << r.start << ".." << r.end << " by " << r.step;
        }
    }
    {
        OpRunner runner;
        runner.input("x", Tensor(DataType::Float16, {1, 80, 1, 7}));
        const auto out = runner.run("shape", {{"x", "x"}}, {{"y", DataType::Int32, {4}}});
        EXPECT_EQ(out[0].toInts(), (std::vector<int64_t>{1, 80, 1, 7}));
    }
}

TEST(ConstructionOps, RangeWhoseLengthDisagreesWithTheDeclarationFailsThePrediction) {
    OpRunner runner;
    auto& w = runner.writer();
    runner.input("e", Tensor::of(DataType::Int32, {}, std::vector<int32_t>{9}));
    try {
        runner.run("range_1d", {{"start", w.scalar(DataType::Int32, 0)}, {"end", "e"}, {"step", w.scalar(DataType::Int32, 2)}},
                   {{"y", DataType::Int32, {4}}});
        ADD_FAILURE() << "a range of 5 values filled a declared 4";
    } catch (const PredictionError& error) {
        EXPECT_EQ(error.kind(), PredictionError::Kind::invalidInputValue);
    }
}

TEST(ConstructionOps, BadArgumentsFailAtLoadNamingTheOp) {
    struct Case {
        std::string op;
        std::vector<std::pair<std::string, std::string>> arguments;
        Shape out;
        std::string message;
    };
    ModelBundleWriter text;
    const Case cases[] = {
        {"tile", {{"x", "x"}, {"reps", text.ints({2})}}, {4, 3}, "reps needs one entry per dimension of [2, 3]"},
        {"band_part", {{"x", "v"}}, {3}, "x must have rank 2 or more"},
        {"range_1d",
         {{"start", text.scalar(DataType::Int32, 0)}, {"end", text.scalar(DataType::Int32, 4)}, {"step", text.scalar(DataType::Int32, 0)}},
         {4}, "step must not be 0"},
        {"fill", {{"shape", text.ints({2, -1})}}, {2, 1}, "shape entries must not be negative"},
    };
    for (const auto& c : cases) {
        OpRunner runner;
        runner.input("x", Tensor(DataType::Float32, {2, 3}));
        runner.input("v", Tensor(DataType::Float32, {3}));
        try {
            runner.run(c.op, c.arguments, {{"y", c.op == "range_1d" ? DataType::Int32 : DataType::Float32, c.out}});
            ADD_FAILURE() << c.op << " loaded";
        } catch (const ModelLoadError& error) {
            const std::string message = error.what();
            EXPECT_NE(message.find("line "), std::string::npos) << message;
            EXPECT_NE(message.find(c.op + ": " + c.message), std::string::npos) << message;
        }
    }
}

}  // namespace
}  // namespace platform::coreml::runtime

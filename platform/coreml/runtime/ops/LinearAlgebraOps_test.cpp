#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "platform/coreml/runtime/ops/Gemm.h"
#include "tests/support/ArrayConversions.h"
#include "tests/support/OpRunner.h"

namespace platform::coreml::runtime {
namespace {

using testsupport::OpRunner;
namespace ref = testsupport::reference;

TEST(LinearAlgebraOps, MatmulBroadcastsBatchesAndTransposes) {
    struct Case {
        Shape x, y;
        bool tx, ty;
    };
    const Case cases[] = {
        {{3, 4}, {4, 5}, false, false},
        {{2, 1, 3, 4}, {3, 5, 4}, false, true},
        {{4, 3}, {2, 4, 5}, true, false},
        {{1, 6, 2, 8}, {1, 6, 8, 2}, false, false},
    };
    uint32_t seed = 10;
    for (const auto& c : cases) {
        const ref::Array x = ref::filled(c.x, seed++), y = ref::filled(c.y, seed++);
        const auto expected = ref::matmul(x, y, c.tx, c.ty);
        OpRunner runner;
        auto& w = runner.writer();
        runner.input("x", testsupport::toTensor(x));
        const auto yName = runner.constant("y", testsupport::toTensor(y));
        const auto out = runner.run("matmul", {{"x", "x"}, {"y", yName}, {"transpose_x", w.boolean(c.tx)}, {"transpose_y", w.boolean(c.ty)}},
                                    {{"z", DataType::Float32, expected.shape}});
        testsupport::expectClose(expected, out[0], 1e-5f, describe(c.x) + " x " + describe(c.y));
    }
}

// With nothing to sum, out = beta out, and a beta of 0 must not read out: a
// fresh buffer may hold NaN, and NaN * 0 would stay NaN.
TEST(LinearAlgebraOps, AProductWithNothingToSumIgnoresWhatItsOutputHeld) {
    const float nothing[1] = {0.0f};
    std::vector<float> out(6, std::nanf(""));
    gemm(nothing, MatrixLayout{2, 0, 0, 1}, nothing, MatrixLayout{0, 3, 3, 1}, out.data(), 3);
    for (float value : out) EXPECT_EQ(value, 0.0f);
    std::vector<float> kept(6, 2.0f);
    gemmOnThisThread(nothing, MatrixLayout{2, 0, 0, 1}, nothing, MatrixLayout{0, 3, 3, 1}, kept.data(), 3, 0.5f);
    for (float value : kept) EXPECT_EQ(value, 1.0f);
}

TEST(LinearAlgebraOps, MatmulPromotesVectors) {
    OpRunner runner;
    runner.input("x", Tensor::of(DataType::Float32, {3}, std::vector<float>{1, 2, 3}));
    runner.input("y", Tensor::of(DataType::Float32, {2, 3, 2}, std::vector<float>{1, 0, 0, 1, 1, 1, 2, 0, 0, 2, 1, 1}));
    const auto out = runner.run("matmul", {{"x", "x"}, {"y", "y"}}, {{"z", DataType::Float32, {2, 2}}});
    EXPECT_EQ(out[0].toFloats(), (std::vector<float>{4, 5, 5, 7}));
}

// One row or one column per batch index is read by the vector kernel, the
// other side in its stored type, in place or reordered into rows first; it
// must agree with the general product in every layout and type mix.
TEST(LinearAlgebraOps, MatmulWithOneSideAVectorMatchesTheGeneralProduct) {
    struct Case {
        Shape x, y;
        bool tx, ty;
    };
    const Case cases[] = {
        // A query against keys laid out [depth, keys]: the keys are reordered.
        {{1, 3, 1, 13}, {1, 3, 13, 21}, false, false},
        // Weights against values read in place, the vector taken transposed.
        {{1, 3, 13, 21}, {1, 3, 1, 21}, false, true},
        {{2, 5, 1}, {2, 5, 7}, true, false},
        {{3, 9, 33}, {3, 33, 1}, false, false},
        {{2, 1, 37}, {2, 300, 37}, false, true},
        // More rows than one store block, odd lengths past the vector width.
        {{1, 37}, {37, 300}, false, false},
        {{1, 41}, {300, 41}, false, true},
        {{300, 41}, {41, 1}, false, false},
    };
    const std::pair<DataType, DataType> types[] = {{DataType::Float32, DataType::Float16},
                                                   {DataType::Float16, DataType::Float32},
                                                   {DataType::Float16, DataType::Float16},
                                                   {DataType::Float32, DataType::Float32}};
    uint32_t seed = 70;
    for (const auto& c : cases) {
        for (const auto& [xType, yType] : types) {
            for (const bool yConstant : {false, true}) {
                const ref::Array x = testsupport::toArray(testsupport::toTensor(ref::filled(c.x, seed++), xType));
                const ref::Array y = testsupport::toArray(testsupport::toTensor(ref::filled(c.y, seed++), yType));
                const auto expected = ref::matmul(x, y, c.tx, c.ty);
                OpRunner runner;
                auto& w = runner.writer();
                runner.input("x", testsupport::toTensor(x, xType));
                const auto yName = yConstant ? runner.constant("y", testsupport::toTensor(y, yType))
                                             : runner.input("y", testsupport::toTensor(y, yType));
                const auto out = runner.run("matmul", {{"x", "x"}, {"y", yName}, {"transpose_x", w.boolean(c.tx)}, {"transpose_y", w.boolean(c.ty)}},
                                            {{"z", xType, expected.shape}});
                const std::string label = describe(c.x) + (c.tx ? "T" : "") + " x " + describe(c.y) + (c.ty ? "T " : " ") +
                                          std::string(name(xType)) + "/" + std::string(name(yType)) +
                                          (yConstant ? " constant" : "");
                testsupport::expectClose(expected, out[0], xType == DataType::Float16 ? 1e-2f : 1e-5f, label);
            }
        }
    }
}

TEST(LinearAlgebraOps, LinearIsXTimesWeightTransposedPlusBias) {
    // One and three rows read fp16 weights directly, six rows widen them for
    // OpenBLAS; 37 inputs leave a tail past the vector width.
    const Shape shapes[] = {{2, 3, 37}, {1, 37}, {3, 37}};
    uint32_t seed = 3;
    for (const Shape& xs : shapes) {
        const ref::Array x = ref::filled(xs, seed++), weight = ref::filled({4, 37}, seed++);
        const std::vector<float> bias{0.5f, -1.0f, 2.0f, 0.0f};
        for (auto type : {DataType::Float32, DataType::Float16}) {
            const ref::Array w = testsupport::toArray(testsupport::toTensor(weight, type));
            ref::Array wt{{37, 4}, std::vector<float>(4 * 37)};
            for (int i = 0; i < 4; ++i) {
                for (int j = 0; j < 37; ++j) wt.values[static_cast<size_t>(j * 4 + i)] = w.values[static_cast<size_t>(i * 37 + j)];
            }
            ref::Array expected = ref::matmul(x, wt, false, false);
            for (size_t i = 0; i < expected.values.size(); ++i) expected.values[i] += bias[i % 4];
            OpRunner runner;
            runner.input("x", testsupport::toTensor(x));
            const auto wn = runner.constant("w", testsupport::toTensor(w, type));
            const auto b = runner.constant("b", Tensor::of(type, {4}, bias));
            const auto out = runner.run("linear", {{"x", "x"}, {"weight", wn}, {"bias", b}}, {{"y", DataType::Float32, expected.shape}});
            testsupport::expectClose(expected, out[0], 1e-5f, describe(xs) + " " + std::string(name(type)));
        }
    }
}

TEST(LinearAlgebraOps, LinearOfOneRowReadsHalfWeightsAsStored) {
    for (const Shape& xShape : {Shape{37}, Shape{1, 37}, Shape{1, 1, 37}}) {
        const ref::Array x = ref::filled(xShape, 5);
        const ref::Array weight = testsupport::toArray(testsupport::toTensor(ref::filled({13, 37}, 6), DataType::Float16));
        std::vector<float> bias(13);
        for (size_t i = 0; i < bias.size(); ++i) bias[i] = 0.5f - 0.125f * static_cast<float>(i);
        ref::Array wt{{37, 13}, std::vector<float>(37 * 13)};
        for (int i = 0; i < 13; ++i) {
            for (int j = 0; j < 37; ++j) wt.values[static_cast<size_t>(j * 13 + i)] = weight.values[static_cast<size_t>(i * 37 + j)];
        }
        ref::Array expected = ref::matmul(ref::Array{{1, 37}, x.values}, wt, false, false);
        for (size_t i = 0; i < 13; ++i) expected.values[i] += bias[i];
        Shape outShape = xShape;
        outShape.back() = 13;
        expected.shape = outShape;
        OpRunner runner;
        runner.input("x", testsupport::toTensor(x));
        const auto w = runner.constant("w", testsupport::toTensor(weight, DataType::Float16));
        const auto b = runner.constant("b", Tensor::of(DataType::Float16, {13}, bias));
        const auto out = runner.run("linear", {{"x", "x"}, {"weight", w}, {"bias", b}}, {{"y", DataType::Float32, outShape}});
        testsupport::expectClose(expected, out[0], 1e-5f, describe(xShape));
    }
}

TEST(LinearAlgebraOps, EinsumRunsTheAttentionFormsWithBroadcasting) {
    struct Case {
        std::string equation;
        Shape x, y;
    };
    const Case cases[] = {
        {"bchq,bkhc->bkhq", {1, 8, 2, 5}, {1, 6, 2, 8}},
        {"bchk,bkhq->bchq", {1, 8, 2, 6}, {1, 6, 2, 5}},
        {"bchq,bkhc->bkhq", {2, 8, 1, 5}, {1, 6, 3, 8}},
        {"chk,khq->chq", {4, 3, 6}, {6, 3, 2}},
        {"nchw,nwhu->nchu", {1, 3, 2, 4}, {1, 4, 2, 5}},
        // One query of a decoder step against many keys, and its weights
        // against the values: one side is a vector per batch index.
        {"bchq,bkhc->bkhq", {1, 12, 3, 1}, {1, 21, 3, 12}},
        {"bchk,bkhq->bchq", {1, 9, 3, 21}, {1, 21, 3, 1}},
        {"chk,khq->chq", {5, 2, 11}, {11, 2, 1}},
        {"bchq,bchk->bkhq", {1, 6, 2, 1}, {1, 6, 2, 9}},
        {"bkhc,bkhq->bchq", {1, 7, 2, 5}, {1, 7, 2, 1}},
        {"bchq,bkhc->bkhq", {2, 8, 1, 1}, {1, 6, 3, 8}},
        // Sums stored with a stride in the output, over more keys than one
        // store block holds.
        {"bchq,bkhc->bkhq", {1, 40, 3, 1}, {1, 300, 3, 40}},
        {"bchk,bkhq->bchq", {1, 37, 3, 300}, {1, 300, 3, 1}},
        {"bchq,bkhc->bkhq", {1, 4, 2, 1}, {1, 1100, 2, 4}},
        {"bchq,bkhc->bkhq", {1, 5, 3, 17}, {1, 19, 3, 5}},
        {"bchk,bkhq->bchq", {2, 7, 3, 9}, {2, 9, 3, 11}},
        // More heads than worker threads, each head's product on its own.
        {"bchq,bkhc->bkhq", {3, 4, 7, 13}, {3, 11, 7, 4}},
        {"bchk,bkhq->bchq", {1, 16, 5, 33}, {1, 33, 5, 70}},
        // The summed label is not x's last: x is read column by column.
        {"bkc,bkq->bcq", {2, 5, 3}, {2, 5, 4}},
        // Labels whose order differs between operand and output: no strided view.
        {"bac,cd->abd", {2, 3, 4}, {4, 5}},
    };
    uint32_t seed = 40;
    for (const auto& c : cases) {
        for (auto type : {DataType::Float32, DataType::Float16}) {
            const ref::Array x = testsupport::toArray(testsupport::toTensor(ref::filled(c.x, seed++), type));
            const ref::Array y = testsupport::toArray(testsupport::toTensor(ref::filled(c.y, seed++), type));
            const auto expected = ref::einsum(c.equation, x, y);
            OpRunner runner;
            runner.input("x", testsupport::toTensor(x, type));
            runner.input("y", testsupport::toTensor(y, type));
            const auto out = runner.run("einsum", {{"values", "(x, y)"}, {"equation", runner.writer().text(c.equation)}},
                                        {{"z", type, expected.shape}});
            testsupport::expectClose(expected, out[0], type == DataType::Float16 ? 1e-2f : 1e-5f, c.equation);
        }
    }
}

}  // namespace
}  // namespace platform::coreml::runtime

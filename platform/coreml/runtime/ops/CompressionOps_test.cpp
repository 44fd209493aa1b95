#include <gtest/gtest.h>

#include "platform/coreml/runtime/RuntimeError.h"
#include "tests/support/ArrayConversions.h"
#include "tests/support/OpRunner.h"

namespace platform::coreml::runtime {
namespace {

using testsupport::ModelBundleWriter;
using testsupport::OpRunner;

// Expands the compressed constant `w` with the given op and feeds it through
// `add(x = zeros, y = w)` so that the value travels the whole load path.
std::vector<float> expand(const std::string& opset, const Shape& shape,
                          const std::function<void(OpRunner&, ModelBundleWriter&)>& declare) {
    OpRunner runner(ModelBundleWriter::Dialect::program13, opset);
    auto& w = runner.writer();
    runner.input("x", Tensor(DataType::Float32, shape));
    declare(runner, w);
    const auto out = runner.run("add", {{"x", "x"}, {"y", "w"}}, {{"y", DataType::Float32, shape}});
    return out[0].toFloats();
}

std::string packedBytes(ModelBundleWriter& w, const std::vector<int64_t>& bytes) {
    return w.literal(Tensor::of(DataType::UInt8, {static_cast<int64_t>(bytes.size())}, bytes));
}

TEST(CompressionOps, AffineDequantizeInBothArgumentStyles) {
    const auto ios17 = expand("ios17", {2, 3}, [](OpRunner&, ModelBundleWriter& w) {
        w.raw("tensor<fp32, [2, 3]> w = constexpr_affine_dequantize()[axis = int32(0), name = string(\"w\"), quantized_data = " +
              w.literal(Tensor::of(DataType::Int8, {2, 3}, std::vector<int64_t>{-3, 0, 5, 10, 11, 12})) +
              ", scale = " + w.literal(Tensor::of(DataType::Float32, {2}, std::vector<float>{0.5f, 2.0f})) +
              ", zero_point = " + w.literal(Tensor::of(DataType::Int8, {2}, std::vector<int64_t>{1, 10})) + "];");
    });
    EXPECT_EQ(ios17, (std::vector<float>{-2.0f, -0.5f, 2.0f, 0.0f, 2.0f, 4.0f}));
    const auto ios18 = expand("ios18", {4}, [](OpRunner&, ModelBundleWriter& w) {
        w.op("constexpr_affine_dequantize",
             {{"quantized_data", w.literal(Tensor::of(DataType::UInt8, {4}, std::vector<int64_t>{0, 128, 255, 129}))},
              {"zero_point", w.scalar(DataType::UInt8, 128)}, {"scale", w.scalar(DataType::Float32, 0.25)},
              {"axis", w.scalar(DataType::Int32, 0)}},
             {{"w", DataType::Float32, {4}}});
    });
    EXPECT_EQ(ios18, (std::vector<float>{-32.0f, 0.0f, 31.75f, 0.25f}));
}

TEST(CompressionOps, LookupTablesPackedAndPerBlock) {
    // 2-bit indices 3, 0, 1, 2, 2, 1 packed least significant bit first.
    const auto packed = expand("ios17", {2, 3}, [](OpRunner&, ModelBundleWriter& w) {
        w.raw("tensor<fp16, [2, 3]> w16 = constexpr_lut_to_dense()[indices = " + packedBytes(w, {0b10010011, 0b0110}) +
              ", lut = " + w.literal(Tensor::of(DataType::Float16, {4}, std::vector<float>{-1.0f, 0.5f, 2.0f, 8.0f})) +
              ", name = string(\"w16\"), shape = " + w.literal(Tensor::of(DataType::UInt32, {2}, std::vector<int64_t>{2, 3})) + "];");
        w.op("cast", {{"x", "w16"}, {"dtype", w.text("fp32")}}, {{"w", DataType::Float32, {2, 3}}});
    });
    EXPECT_EQ(packed, (std::vector<float>{8.0f, -1.0f, 0.5f, 2.0f, 2.0f, 0.5f}));

    // ios18: typed uint4 indices (twelve of them, so they live in the weight
    // file) and one table per row.
    const auto blocks = expand("ios18", {2, 6}, [](OpRunner&, ModelBundleWriter& w) {
        std::vector<float> tables(2 * 16);
        for (int t = 0; t < 2; ++t) {
            for (int i = 0; i < 16; ++i) tables[static_cast<size_t>(t * 16 + i)] = static_cast<float>(100 * t + i);
        }
        w.op("constexpr_lut_to_dense",
             {{"indices", w.literal(Tensor::of(DataType::UInt4, {2, 6}, std::vector<int64_t>{0, 1, 2, 15, 14, 3, 4, 4, 5, 9, 0, 1}))},
              {"lut", w.literal(Tensor::of(DataType::Float32, {2, 1, 16, 1}, tables))},
              {"vector_axis", w.scalar(DataType::Int32, 0)}},
             {{"w", DataType::Float32, {2, 6}}});
    });
    EXPECT_EQ(blocks, (std::vector<float>{0, 1, 2, 15, 14, 3, 104, 104, 105, 109, 100, 101}));
}

TEST(CompressionOps, SparseMasksCastsAndBlockwiseScales) {
    const auto sparse17 = expand("ios17", {2, 5}, [](OpRunner&, ModelBundleWriter& w) {
        // Mask bits 1, 4, 8 and 9 set.
        w.raw("tensor<fp32, [2, 5]> w = constexpr_sparse_to_dense()[mask = " + packedBytes(w, {0b00010010, 0b11}) +
              ", name = string(\"w\"), nonzero_data = " +
              w.literal(Tensor::of(DataType::Float32, {4}, std::vector<float>{1, 2, 3, 4})) + ", shape = " +
              w.literal(Tensor::of(DataType::UInt32, {2}, std::vector<int64_t>{2, 5})) + "];");
    });
    EXPECT_EQ(sparse17, (std::vector<float>{0, 1, 0, 0, 2, 0, 0, 0, 3, 4}));
    const auto sparse18 = expand("ios18", {2, 2}, [](OpRunner&, ModelBundleWriter& w) {
        w.op("constexpr_sparse_to_dense",
             {{"nonzero_data", w.literal(Tensor::of(DataType::Float32, {2}, std::vector<float>{7, 9}))},
              {"mask", w.literal(Tensor::of(DataType::UInt1, {2, 2}, std::vector<int64_t>{0, 1, 1, 0}))}},
             {{"w", DataType::Float32, {2, 2}}});
    });
    EXPECT_EQ(sparse18, (std::vector<float>{0, 7, 9, 0}));
    const auto cast = expand("ios17", {2}, [](OpRunner&, ModelBundleWriter& w) {
        w.raw("tensor<fp32, [2]> w = constexpr_cast()[name = string(\"w\"), output_dtype = string(\"fp32\"), source_val = " +
              w.literal(Tensor::of(DataType::Float16, {2}, std::vector<float>{0.333251953125f, -65504.0f})) + "];");
    });
    EXPECT_EQ(cast, (std::vector<float>{0.333251953125f, -65504.0f}));
    const auto blockwise = expand("ios18", {2, 4}, [](OpRunner&, ModelBundleWriter& w) {
        w.op("constexpr_blockwise_shift_scale",
             {{"data", w.literal(Tensor::of(DataType::Int8, {2, 4}, std::vector<int64_t>{1, 2, 3, 4, -1, -2, -3, -4}))},
              {"scale", w.literal(Tensor::of(DataType::Float32, {2, 2}, std::vector<float>{1, 10, 100, 1000}))},
              {"offset", w.literal(Tensor::of(DataType::Int8, {2, 2}, std::vector<int64_t>{1, 0, 0, -4}))}},
             {{"w", DataType::Float32, {2, 4}}});
    });
    EXPECT_EQ(blockwise, (std::vector<float>{0, 1, 30, 40, -100, -200, 1000, 0}));
}

// Element i takes bits [i*n, (i+1)*n), least significant bit first.
std::vector<int64_t> packBits(const std::vector<unsigned>& values, unsigned bits) {
    std::vector<int64_t> bytes((values.size() * bits + 7) / 8, 0);
    for (size_t i = 0; i < values.size(); ++i) {
        for (unsigned b = 0; b < bits; ++b) {
            if (values[i] >> b & 1u) bytes[(i * bits + b) / 8] |= int64_t{1} << ((i * bits + b) % 8);
        }
    }
    return bytes;
}

TEST(CompressionOps, PackedIndicesOfEveryWidthCrossByteBoundaries) {
    for (unsigned bits : {1u, 2u, 4u, 6u, 8u}) {
        const unsigned entries = 1u << bits;
        std::vector<float> lut(entries);
        for (unsigned e = 0; e < entries; ++e) lut[e] = 0.5f * static_cast<float>(e) - 3.0f;
        std::vector<unsigned> indices(15);
        std::vector<float> expected;
        for (size_t i = 0; i < indices.size(); ++i) {
            indices[i] = static_cast<unsigned>((i * 5 + 1) % entries);
            expected.push_back(lut[indices[i]]);
        }
        const auto dense = expand("ios17", {3, 5}, [&](OpRunner&, ModelBundleWriter& w) {
            w.raw("tensor<fp32, [3, 5]> w = constexpr_lut_to_dense()[indices = " + packedBytes(w, packBits(indices, bits)) +
                  ", lut = " + w.literal(Tensor::of(DataType::Float32, {static_cast<int64_t>(entries)}, lut)) +
                  ", shape = " + w.literal(Tensor::of(DataType::UInt32, {2}, std::vector<int64_t>{3, 5})) + "];");
        });
        EXPECT_EQ(dense, expected) << bits << " bits";
    }
}

TEST(CompressionOps, LookupTablesWithVectorEntries) {
    // uint4 indices [4, 2], one table per pair of rows, entries of two values
    // laid along axis 0: the result has twice the rows.
    const std::vector<int64_t> indices = {0, 15, 3, 4, 15, 1, 7, 8};
    std::vector<float> lut(2 * 16 * 2);
    for (size_t i = 0; i < lut.size(); ++i) lut[i] = static_cast<float>(i);
    std::vector<float> expected(16);
    for (int64_t r = 0; r < 4; ++r) {
        for (int64_t c = 0; c < 2; ++c) {
            const int64_t pick = indices[static_cast<size_t>(r * 2 + c)];
            for (int64_t v = 0; v < 2; ++v) {
                expected[static_cast<size_t>((r * 2 + v) * 2 + c)] = lut[static_cast<size_t>(((r / 2) * 16 + pick) * 2 + v)];
            }
        }
    }
    const auto dense = expand("ios18", {8, 2}, [&](OpRunner&, ModelBundleWriter& w) {
        w.op("constexpr_lut_to_dense",
             {{"indices", w.literal(Tensor::of(DataType::UInt4, {4, 2}, indices))},
              {"lut", w.literal(Tensor::of(DataType::Float32, {2, 1, 16, 2}, lut))},
              {"vector_axis", w.scalar(DataType::Int32, 0)}},
             {{"w", DataType::Float32, {8, 2}}});
    });
    EXPECT_EQ(dense, expected);
}

TEST(CompressionOps, BlockwiseScalesReadPackedInt4AsTwosComplement) {
    // Twelve int4 values go to the weight file, two to a byte.
    const std::vector<int64_t> data = {-8, -7, -1, 0, 1, 7, 3, -3, 5, -5, 2, -2};
    const std::vector<float> scale = {0.5f, 2.0f, -1.0f, 0.25f};  // blocks of [1, 3]
    const std::vector<int64_t> offset = {1, 0, -2, 3};
    std::vector<float> expected(12);
    for (size_t i = 0; i < 12; ++i) {
        const size_t block = (i / 6) * 2 + (i % 6) / 3;
        expected[i] = scale[block] * static_cast<float>(data[i] - offset[block]);
    }
    const auto dense = expand("ios18", {2, 6}, [&](OpRunner&, ModelBundleWriter& w) {
        w.op("constexpr_blockwise_shift_scale",
             {{"data", w.literal(Tensor::of(DataType::Int4, {2, 6}, data))},
              {"scale", w.literal(Tensor::of(DataType::Float32, {2, 2}, scale))},
              {"offset", w.literal(Tensor::of(DataType::Int4, {2, 2}, offset))}},
             {{"w", DataType::Float32, {2, 6}}});
    });
    EXPECT_EQ(dense, expected);
}

TEST(CompressionOps, RejectsInconsistentCompressedConstants) {
    const std::vector<std::pair<std::string, std::function<void(OpRunner&, ModelBundleWriter&)>>> cases = {
        {"the mask sets 2 elements", [](OpRunner&, ModelBundleWriter& w) {
             w.raw("tensor<fp32, [2, 2]> w = constexpr_sparse_to_dense()[mask = " + packedBytes(w, {0b0011}) +
                   ", nonzero_data = " + w.literal(Tensor::of(DataType::Float32, {3}, std::vector<float>{1, 2, 3})) +
                   ", shape = " + w.literal(Tensor::of(DataType::UInt32, {2}, std::vector<int64_t>{2, 2})) + "];");
         }},
        {"the shape needs 2", [](OpRunner&, ModelBundleWriter& w) {
             w.raw("tensor<fp32, [2, 2]> w = constexpr_lut_to_dense()[indices = " + packedBytes(w, {1}) +
                   ", lut = " + w.literal(Tensor::of(DataType::Float32, {16}, std::vector<float>(16, 1.0f))) +
                   ", shape = " + w.literal(Tensor::of(DataType::UInt32, {2}, std::vector<int64_t>{2, 2})) + "];");
         }},
    };
    for (const auto& [fragment, declare] : cases) {
        try {
            expand("ios17", {2, 2}, declare);
            ADD_FAILURE() << fragment;
        } catch (const ModelLoadError& error) {
            EXPECT_NE(std::string(error.what()).find(fragment), std::string::npos) << error.what();
        }
    }
}

}  // namespace
}  // namespace platform::coreml::runtime

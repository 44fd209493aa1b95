#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "platform/coreml/runtime/RuntimeModel.h"
#include "tests/support/ArrayConversions.h"
#include "tests/support/LoadedGraph.h"
#include "tests/support/ModelBundleWriter.h"
#include "tests/support/ReferenceOps.h"
#include "tests/support/TempDirectory.h"

namespace platform::coreml::runtime {
namespace {

using testsupport::ModelBundleWriter;
namespace ref = testsupport::reference;

struct Projection {
    int64_t cout;
    DataType weightType;
    bool bias;
};

struct Case {
    const char* name;
    DataType type;
    int64_t frames;
    bool rank3;
    std::vector<Projection> projections;
    size_t nodes;  // after load
};

// 1x1 convolutions of one input, run as one product when the input has many
// frames: each output must be what its convolution computes alone, also
// where a block of the shared rows straddles two weights.
TEST(ProductFusion, ConvolutionsOfOneInputGiveWhatEachGivesAlone) {
    constexpr int64_t cin = 37;
    const Case cases[] = {
        {"fp16, three weights", DataType::Float16, 300, false,
         {{61, DataType::Float16, true}, {5, DataType::Float16, false}, {130, DataType::Float32, true}}, 1},
        {"fp32, rank 3", DataType::Float32, 301, true, {{64, DataType::Float16, true}, {17, DataType::Float32, false}}, 1},
        {"one frame stays apart", DataType::Float32, 1, false,
         {{64, DataType::Float16, true}, {5, DataType::Float16, false}}, 2},
    };
    testsupport::TempDirectory dir;
    uint32_t seed = 90;
    for (const Case& c : cases) {
        const Shape xShape = c.rank3 ? Shape{1, cin, c.frames} : Shape{1, cin, 1, c.frames};
        const ref::Array x = testsupport::toArray(testsupport::toTensor(ref::filled({1, cin, 1, c.frames}, seed++), c.type));
        ModelBundleWriter w(ModelBundleWriter::Dialect::program13, "ios16");
        w.input("x", c.type, xShape);
        std::vector<ref::Array> expected;
        for (size_t i = 0; i < c.projections.size(); ++i) {
            const Projection& p = c.projections[i];
            const Shape weightShape = c.rank3 ? Shape{p.cout, cin, 1} : Shape{p.cout, cin, 1, 1};
            const ref::Array weight =
                testsupport::toArray(testsupport::toTensor(ref::filled({p.cout, cin, 1, 1}, seed++, 0.5f), p.weightType));
            std::vector<float> bias;
            if (p.bias) bias = testsupport::toArray(testsupport::toTensor(ref::filled({p.cout}, seed++), p.weightType)).values;
            expected.push_back(ref::conv2d(x, weight, bias, {1, 1}, {1, 1}, {0, 0, 0, 0}, 1));
            const std::string suffix = std::to_string(i);
            std::vector<std::pair<std::string, std::string>> arguments{
                {"x", "x"},
                {"weight", w.constant("w" + suffix, Tensor::of(p.weightType, weightShape, weight.values))},
                {"strides", w.ints(std::vector<int64_t>(xShape.size() - 2, 1))},
                {"pad_type", w.text("valid")},
                {"dilations", w.ints(std::vector<int64_t>(xShape.size() - 2, 1))},
                {"groups", w.scalar(DataType::Int32, 1)}};
            if (p.bias) arguments.push_back({"bias", w.constant("b" + suffix, Tensor::of(p.weightType, {p.cout}, bias))});
            Shape outShape = xShape;
            outShape[1] = p.cout;
            w.op("conv", arguments, {{"y" + suffix, c.type, outShape}});
            w.output("y" + suffix);
        }
        const auto bundle = w.write(dir.path() / (std::to_string(seed) + ".mlmodelc"));
        EXPECT_EQ(testsupport::loadedOps(bundle).size(), c.nodes) << c.name;
        const auto outputs = RuntimeModel::load(bundle)->predict({{"x", Tensor::of(c.type, xShape, x.values)}});
        for (size_t i = 0; i < expected.size(); ++i) {
            ref::Array want = expected[i];
            want.shape = outputs.at("y" + std::to_string(i)).shape();
            testsupport::expectClose(want, outputs.at("y" + std::to_string(i)), c.type == DataType::Float16 ? 1e-2f : 1e-5f,
                                     std::string(c.name) + " output " + std::to_string(i));
        }
    }
}

}  // namespace
}  // namespace platform::coreml::runtime

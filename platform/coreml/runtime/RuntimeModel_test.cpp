#include <cmath>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "platform/coreml/runtime/RuntimeError.h"
#include "platform/coreml/runtime/RuntimeModel.h"
#include "tests/support/ModelBundleWriter.h"
#include "tests/support/TempDirectory.h"

namespace platform::coreml::runtime {
namespace {

using testsupport::ModelBundleWriter;

std::vector<float> ramp(size_t n, float scale, float offset = 0) {
    std::vector<float> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = offset + scale * static_cast<float>((i * 7) % 11) - scale * 5;
    return v;
}

// x [1, 5, 1, 3] fp16 -> 1x1 conv to 2 channels (+ bias) -> add a [2, 1, 1]
// constant -> softmax over channels -> cast to fp32.
ModelBundleWriter smallProgram(ModelBundleWriter::Dialect dialect) {
    ModelBundleWriter w(dialect, "ios16");
    w.input("x", DataType::Float16, {1, 5, 1, 3});
    const auto weight = w.constant("weight", Tensor::of(DataType::Float16, {2, 5, 1, 1}, ramp(10, 0.25f)));
    const auto bias = w.constant("bias", Tensor::of(DataType::Float16, {2}, std::vector<float>{0.5f, -0.5f}));
    const auto shift = w.constant("shift", Tensor::of(DataType::Float16, {2, 1, 1}, std::vector<float>{1.0f, -2.0f}));
    w.op("conv",
         {{"x", "x"}, {"weight", weight}, {"bias", bias}, {"strides", w.ints({1, 1})}, {"pad_type", w.text("valid")},
          {"dilations", w.ints({1, 1})}, {"groups", w.scalar(DataType::Int32, 1)}},
         {{"conv_out", DataType::Float16, {1, 2, 1, 3}}});
    w.op("add", {{"x", "conv_out"}, {"y", shift}}, {{"sum", DataType::Float16, {1, 2, 1, 3}}});
    w.op("softmax", {{"x", "sum"}, {"axis", w.scalar(DataType::Int32, 1)}}, {{"probs", DataType::Float16, {1, 2, 1, 3}}});
    w.op("cast", {{"x", "probs"}, {"dtype", w.text("fp32")}}, {{"out", DataType::Float32, {1, 2, 1, 3}}});
    w.output("out");
    return w;
}

std::vector<float> smallProgramReference(const std::vector<float>& x) {
    const std::vector<float> weight = ramp(10, 0.25f);
    const float bias[2] = {0.5f, -0.5f};
    const float shift[2] = {1.0f, -2.0f};
    std::vector<float> out(6);
    for (int s = 0; s < 3; ++s) {
        float logits[2];
        for (int o = 0; o < 2; ++o) {
            float sum = bias[o];
            for (int c = 0; c < 5; ++c) sum += weight[o * 5 + c] * x[c * 3 + s];
            logits[o] = sum + shift[o];
        }
        const float top = std::max(logits[0], logits[1]);
        const float e0 = std::exp(logits[0] - top), e1 = std::exp(logits[1] - top);
        out[s] = e0 / (e0 + e1);
        out[3 + s] = e1 / (e0 + e1);
    }
    return out;
}

TEST(RuntimeModel, RunsTheSameProgramInBothDialects) {
    const std::vector<float> x = ramp(15, 0.5f, 0.25f);
    const Tensor input = Tensor::of(DataType::Float16, {1, 5, 1, 3}, x);
    const std::vector<float> expected = smallProgramReference(input.toFloats());
    testsupport::TempDirectory dir;
    for (auto dialect : {ModelBundleWriter::Dialect::program10, ModelBundleWriter::Dialect::program13}) {
        const auto bundle = smallProgram(dialect).write(dir.path() / (dialect == ModelBundleWriter::Dialect::program10 ? "A.mlmodelc" : "B.mlmodelc"));
        EXPECT_TRUE(std::filesystem::exists(bundle / "weights" / "weight.bin"));
        auto model = RuntimeModel::load(bundle);
        ASSERT_EQ(model->inputs().size(), 1u);
        EXPECT_EQ(model->inputs()[0].name, "x");
        EXPECT_EQ(model->inputs()[0].dataType, DataType::Float16);
        EXPECT_EQ(model->outputs()[0].shape, (Shape{1, 2, 1, 3}));
        const auto outputs = model->predict({{"x", input}});
        const auto result = outputs.at("out").toFloats();
        for (size_t i = 0; i < expected.size(); ++i) EXPECT_NEAR(result[i], expected[i], 2e-3) << i;
    }
}

TEST(RuntimeModel, RejectsMissingAndMistypedInputsNamingTheFeature) {
    testsupport::TempDirectory dir;
    auto model = RuntimeModel::load(smallProgram(ModelBundleWriter::Dialect::program13).write(dir.path() / "M.mlmodelc"));
    struct Case {
        std::map<std::string, Tensor> inputs;
        PredictionError::Kind kind;
    };
    const Case cases[] = {
        {{{"audio", Tensor(DataType::Float16, {1, 5, 1, 3})}}, PredictionError::Kind::missingInput},
        {{{"x", Tensor(DataType::Float32, {1, 5, 1, 3})}}, PredictionError::Kind::wrongInputType},
        {{{"x", Tensor(DataType::Float16, {1, 4, 1, 4})}}, PredictionError::Kind::wrongInputShape},
    };
    for (const auto& c : cases) {
        try {
            model->predict(c.inputs);
            ADD_FAILURE() << "accepted";
        } catch (const PredictionError& error) {
            EXPECT_EQ(error.kind(), c.kind);
            EXPECT_EQ(error.feature(), "x");
            EXPECT_NE(std::string(error.what()).find("'x'"), std::string::npos) << error.what();
        }
    }
}

TEST(RuntimeModel, PredictsFromSeveralThreadsAndStopsAtACheckpoint) {
    testsupport::TempDirectory dir;
    auto model = RuntimeModel::load(smallProgram(ModelBundleWriter::Dialect::program13).write(dir.path() / "M.mlmodelc"));
    std::vector<std::thread> threads;
    std::vector<int> failures(6, 0);
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&, t] {
            const std::vector<float> x = ramp(15, 0.1f * static_cast<float>(t + 1));
            const Tensor input = Tensor::of(DataType::Float16, {1, 5, 1, 3}, x);
            const auto expected = smallProgramReference(input.toFloats());
            for (int round = 0; round < 50; ++round) {
                const auto out = model->predict({{"x", input}}).at("out").toFloats();
                for (size_t i = 0; i < out.size(); ++i) failures[t] += std::fabs(out[i] - expected[i]) > 2e-3;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures, std::vector<int>(6, 0));

    struct Stop {};
    int reached = 0;
    EXPECT_THROW(model->predict({{"x", Tensor(DataType::Float16, {1, 5, 1, 3})}},
                                [&] {
                                    if (++reached == 2) throw Stop{};
                                }),
                 Stop);
    EXPECT_EQ(reached, 2);
}

struct BadBundle {
    std::string name;
    std::function<void(ModelBundleWriter&)> build;
    ModelLoadError::Kind kind;
    std::string fragment;
};

TEST(RuntimeModel, RejectsInvalidProgramsAtLoadNamingBundleLineAndOp) {
    const std::vector<BadBundle> cases = {
        {"unknown op", [](ModelBundleWriter& w) { w.op("frobnicate", {{"x", "x"}}, {{"y", DataType::Float32, {2}}}); w.output("y"); },
         ModelLoadError::Kind::unsupportedOperation, "line 5: frobnicate: unknown op"},
        {"undefined variable", [](ModelBundleWriter& w) { w.op("relu", {{"x", "ghost"}}, {{"y", DataType::Float32, {2}}}); w.output("y"); },
         ModelLoadError::Kind::invalidProgram, "line 5: relu: undefined variable 'ghost'"},
        {"use before definition (a cycle)",
         [](ModelBundleWriter& w) {
             w.op("add", {{"x", "x"}, {"y", "b"}}, {{"a", DataType::Float32, {2}}});
             w.op("add", {{"x", "a"}, {"y", "x"}}, {{"b", DataType::Float32, {2}}});
             w.output("b");
         },
         ModelLoadError::Kind::invalidProgram, "undefined variable 'b'"},
        {"defined twice",
         [](ModelBundleWriter& w) {
             w.op("relu", {{"x", "x"}}, {{"y", DataType::Float32, {2}}});
             w.op("relu", {{"x", "x"}}, {{"y", DataType::Float32, {2}}});
             w.output("y");
         },
         ModelLoadError::Kind::invalidProgram, "line 6: relu: variable 'y' is defined twice"},
        {"declared shape disagrees",
         [](ModelBundleWriter& w) { w.op("relu", {{"x", "x"}}, {{"y", DataType::Float32, {3}}}); w.output("y"); },
         ModelLoadError::Kind::invalidProgram, "has shape [2], the program declares [3]"},
        {"declared type disagrees",
         [](ModelBundleWriter& w) { w.op("relu", {{"x", "x"}}, {{"y", DataType::Float16, {2}}}); w.output("y"); },
         ModelLoadError::Kind::invalidProgram, "is fp32, the program declares fp16"},
        {"broadcast mismatch",
         [](ModelBundleWriter& w) {
             w.constant("c", Tensor::of(DataType::Float32, {3}, std::vector<float>{1, 2, 3}));
             w.op("add", {{"x", "x"}, {"y", "c"}}, {{"y", DataType::Float32, {2}}});
             w.output("y");
         },
         ModelLoadError::Kind::invalidProgram, "shapes [2] and [3] cannot be broadcast"},
        {"missing argument", [](ModelBundleWriter& w) { w.op("add", {{"x", "x"}}, {{"y", DataType::Float32, {2}}}); w.output("y"); },
         ModelLoadError::Kind::invalidProgram, "missing argument 'y'"},
        {"unexpected argument",
         [](ModelBundleWriter& w) { w.op("relu", {{"x", "x"}, {"alpha", "x"}}, {{"y", DataType::Float32, {2}}}); w.output("y"); },
         ModelLoadError::Kind::invalidProgram, "unexpected argument 'alpha'"},
        {"runtime value where a constant is needed",
         [](ModelBundleWriter& w) { w.op("softmax", {{"x", "x"}, {"axis", "x"}}, {{"y", DataType::Float32, {2}}}); w.output("y"); },
         ModelLoadError::Kind::invalidProgram, "'axis' must be known when the model loads"},
        {"undefined output", [](ModelBundleWriter& w) { w.output("nothing"); }, ModelLoadError::Kind::invalidProgram,
         "undefined variable 'nothing'"},
        {"weight path outside the bundle",
         [](ModelBundleWriter& w) {
             w.raw("tensor<fp32, [16]> c = const()[val = tensor<fp32, [16]>(BLOBFILE(path = string(\"@model_path/../x.bin\"), offset = uint64(64)))];");
             w.output("c");
         },
         ModelLoadError::Kind::invalidProgram, "not inside the bundle"},
        {"missing weight file",
         [](ModelBundleWriter& w) {
             w.raw("tensor<fp32, [16]> c = const()[val = tensor<fp32, [16]>(BLOBFILE(path = string(\"@model_path/weights/weight.bin\"), offset = uint64(64)))];");
             w.output("c");
         },
         ModelLoadError::Kind::unreadableBundle, "cannot open weight file"},
        {"unknown opset", [](ModelBundleWriter& w) { w.output("x"); }, ModelLoadError::Kind::unsupportedFormat, "unsupported opset"},
    };
    testsupport::TempDirectory dir;
    int index = 0;
    for (const auto& c : cases) {
        ModelBundleWriter w(ModelBundleWriter::Dialect::program13, c.name == "unknown opset" ? "ios99" : "ios17");
        w.input("x", DataType::Float32, {2});
        c.build(w);
        const std::string bundleName = "Bad" + std::to_string(index++) + ".mlmodelc";
        const auto bundle = w.write(dir.path() / bundleName);
        try {
            RuntimeModel::load(bundle);
            ADD_FAILURE() << c.name << " loaded";
        } catch (const ModelLoadError& error) {
            EXPECT_EQ(error.kind(), c.kind) << c.name << ": " << error.what();
            const std::string message = error.what();
            EXPECT_EQ(message.rfind(bundleName + ": ", 0), 0u) << message;
            EXPECT_NE(message.find(c.fragment), std::string::npos) << c.name << ": " << message;
        }
    }
}

TEST(RuntimeModel, RefusesBundlesWithoutAProgram) {
    testsupport::TempDirectory dir;
    std::filesystem::create_directories(dir.path() / "Old.mlmodelc");
    std::ofstream(dir.path() / "Old.mlmodelc" / "model.espresso.net") << "{}";
    std::filesystem::create_directories(dir.path() / "Empty.mlmodelc");
    struct Case {
        std::filesystem::path path;
        ModelLoadError::Kind kind;
        std::string fragment;
    };
    const Case cases[] = {
        {dir.path() / "Old.mlmodelc", ModelLoadError::Kind::unsupportedFormat, "older espresso format"},
        {dir.path() / "Empty.mlmodelc", ModelLoadError::Kind::unreadableBundle, "no model.mil"},
        {dir.path() / "Missing.mlmodelc", ModelLoadError::Kind::unreadableBundle, "no model bundle"},
    };
    for (const auto& c : cases) {
        try {
            RuntimeModel::load(c.path);
            ADD_FAILURE() << c.path;
        } catch (const ModelLoadError& error) {
            EXPECT_EQ(error.kind(), c.kind);
            EXPECT_NE(std::string(error.what()).find(c.fragment), std::string::npos) << error.what();
        }
    }
}

}  // namespace
}  // namespace platform::coreml::runtime

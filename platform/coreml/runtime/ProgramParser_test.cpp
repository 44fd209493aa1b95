#include <cmath>

#include <gtest/gtest.h>

#include "platform/coreml/runtime/ProgramParser.h"
#include "platform/coreml/runtime/RuntimeError.h"

namespace platform::coreml::runtime {
namespace {

const char* kProgram13 = R"(program(1.3)
[buildInfo = dict<string, string>({{"coremlc-component-MIL", "3520.4.1"}, {"coremlc-version", "3520.5.1"}})]
{
    func main<ios16>(tensor<fp32, [1, 1, 28, 28]> Input3, tensor<int32, [?]> ids) {
            tensor<fp32, [2, 1, 1]> p = const()[name = string("p"), val = tensor<fp32, [2, 1, 1]>([[[-0x1.4ad556p-3]], [[inf]]])];
            string pad = const()[name = string("pad"), val = string("same")];
            tensor<fp32, [1, 2, 28, 28]> c = conv(groups = int32(1), pad_type = pad, strides = tensor<int32, [2]>([1, 1]), weight = p, x = Input3);
            tensor<fp32, [1, 4, 28, 28]> j = concat(axis = int32(1), interleave = bool(false), values = (c, c));
            tensor<fp32, [1, 2, 28, 28]> a, tensor<fp32, [1, 2, 28, 28]> b = split(x = j, num_splits = int32(2), axis = int32(1));
            (tensor<fp32, [1, 2, 28, 28]> d, tensor<fp32, [1, 2, 28, 28]> e) = split(x = j, num_splits = int32(2), axis = int32(1));
            tensor<fp16, [4]> w = const()[val = tensor<fp16, [4]>(BLOBFILE(path = string("@model_path/weights/weight.bin"), offset = uint64(64)))];
            tensor<fp32, [3]> n = const()[val = tensor<fp32, [3]>([1.5e-3, -inf, nan])];
        } -> (a, e);
}
)";

const char* kProgram10 = R"(program(1.0)
[buildInfo = dict<tensor<string, []>, tensor<string, []>>({{"coremlc-version", "1436.100.10"}})]
{
    func main<ios15>(tensor<fp32, [1, 3]> x) {
            tensor<string, []> mode = const()[name = tensor<string, []>("mode"), val = tensor<string, []>("EXACT")];
            tensor<uint64, []> big = const()[val = tensor<uint64, []>(18446744073709551615)];
            tensor<bool, [2]> flags = const()[val = tensor<bool, [2]>([true, false])];
            tensor<fp32, [1, 3]> y = gelu(mode = mode, x = x)[name = tensor<string, []>("y")];
        } -> (y);
}
)";

TEST(ProgramParser, ReadsTheNewerDialect) {
    const Program program = parseProgram(kProgram13);
    EXPECT_EQ(program.version, "1.3");
    ASSERT_EQ(program.functions.size(), 1u);
    const Function& main = program.functions[0];
    EXPECT_EQ(main.opset, "ios16");
    ASSERT_EQ(main.inputs.size(), 2u);
    EXPECT_EQ(main.inputs[1].type.shape, (Shape{kUnknownDim}));
    EXPECT_EQ(main.outputs, (std::vector<std::string>{"a", "e"}));
    ASSERT_EQ(main.statements.size(), 8u);

    const auto& p = std::get<Value>(std::get<Literal>(main.statements[0].attributes[1].values[0]).content).tensor();
    EXPECT_EQ(p.toFloats()[0], static_cast<float>(-0x1.4ad556p-3));
    EXPECT_TRUE(std::isinf(p.toFloats()[1]));

    const Statement& conv = main.statements[2];
    EXPECT_EQ(conv.op, "conv");
    EXPECT_EQ(conv.line, 7);
    EXPECT_EQ(std::get<std::string>(conv.arguments[1].values[0]), "pad");

    const Statement& concat = main.statements[3];
    EXPECT_TRUE(concat.arguments[2].isTuple);
    EXPECT_EQ(concat.arguments[2].values.size(), 2u);
    EXPECT_EQ(main.statements[4].outputs.size(), 2u);
    EXPECT_EQ(main.statements[5].outputs.size(), 2u);

    const auto& blob = std::get<BlobReference>(std::get<Literal>(main.statements[6].attributes[0].values[0]).content);
    EXPECT_EQ(blob.path, "@model_path/weights/weight.bin");
    EXPECT_EQ(blob.offset, 64u);

    const auto n = std::get<Value>(std::get<Literal>(main.statements[7].attributes[0].values[0]).content).tensor().toFloats();
    EXPECT_FLOAT_EQ(n[0], 1.5e-3f);
    EXPECT_TRUE(std::isinf(n[1]) && n[1] < 0);
    EXPECT_TRUE(std::isnan(n[2]));
}

TEST(ProgramParser, ReadsTheOlderDialectWithTensorScalars) {
    const Program program = parseProgram(kProgram10);
    const Function& main = program.functions[0];
    const auto literalOf = [&](size_t statement) {
        return std::get<Value>(std::get<Literal>(main.statements[statement].attributes.back().values[0]).content);
    };
    EXPECT_EQ(literalOf(0).string(), "EXACT");
    EXPECT_EQ(*literalOf(1).tensor().data<uint64_t>(), 18446744073709551615ull);
    EXPECT_EQ(literalOf(2).tensor().toInts(), (std::vector<int64_t>{1, 0}));
    EXPECT_EQ(main.statements[3].attributes[0].name, "name");
}

TEST(ProgramParser, RejectsMalformedTextNamingTheLine) {
    struct Case {
        const char* text;
        int line;
        const char* fragment;
    };
    const std::string deep = "program(1.3)\n{ func main<ios17>() { tensor<fp32, [1]> a = const()[val = tensor<fp32, [1]>(" +
                             std::string(200, '[') + "1" + std::string(200, ']') + ")]; } -> (a); }";
    const Case cases[] = {
        {"", 1, "expected 'program'"},
        {"program(1.3)\n{\n  func main<ios17>(tensor<fp32, [1]> x) {\n", 4, "expected"},
        {"program(1.3)\n{\n func main<ios17>(tensor<fp33, [1]> x) { } -> (x);\n}", 3, "unknown data type 'fp33'"},
        {"program(1.3)\n{ func main<ios17>() {\n tensor<fp32, [2]> a = const()[val = tensor<fp32, [2]>([1])];\n} -> (a); }", 3,
         "literal has 1 entries"},
        {"program(1.3)\n{ func main<ios17>() {\n string s = const()[val = string(\"open)];\n} -> (s); }", 3, "unterminated string"},
        {"program(1.3)\n{ func main<ios17>(tensor<fp32, [1]> x) {\n tensor<fp32, [1]> y = cond(pred = x);\n} -> (y); }", 3,
         "control flow"},
        {"program(1.3)\n{ func main<ios17>(tensor<fp32, [-4]> x) { } -> (x); }", 2, "invalid dimension"},
        {"program(1.3)\n{ func main<ios17>() {\n tensor<int32, [1]> a = const()[val = tensor<int32, [1]>([1.5])];\n} -> (a); }", 3,
         "invalid integer"},
        {"program(1.3)\n{ func main<ios17>() { } -> (a); }\n\x01", 3, "unexpected character"},
        {deep.c_str(), 2, "nesting too deep"},
        {"program(1.3)\n{ }", 2, "no function"},
    };
    for (const auto& c : cases) {
        try {
            parseProgram(c.text);
            ADD_FAILURE() << "parsed: " << c.text;
        } catch (const ModelLoadError& error) {
            EXPECT_EQ(error.kind(), ModelLoadError::Kind::malformedProgram) << c.text;
            EXPECT_EQ(error.line(), c.line) << error.what();
            EXPECT_NE(std::string(error.what()).find(c.fragment), std::string::npos) << error.what();
        }
    }
}

TEST(ProgramParser, SurvivesEveryTruncationOfARealProgram) {
    const std::string text = kProgram13;
    for (size_t length = 0; length < text.size(); ++length) {
        try {
            parseProgram(std::string_view(text).substr(0, length));
        } catch (const ModelLoadError& error) {
            EXPECT_EQ(error.kind(), ModelLoadError::Kind::malformedProgram);
        }
    }
}

}  // namespace
}  // namespace platform::coreml::runtime

#include "tests/support/ScriptedDecoder.h"

#include "tests/support/ModelBundleWriter.h"

namespace testsupport {

std::filesystem::path ScriptedDecoder::write(const std::filesystem::path& bundle) const {
    const DataType f16 = DataType::Float16;
    const DataType i32 = DataType::Int32;
    const int64_t vocabulary = dims.vocabulary, slots = dims.cacheSlots, width = dims.cacheWidth();
    ModelBundleWriter w(ModelBundleWriter::Dialect::program13, "ios16");
    w.input("input_ids", i32, {1});
    w.input("cache_length", i32, {1});
    const Shape cacheShape = malformation == Malformation::keyCacheWithoutLength ? Shape{1, width, 1} : Shape{1, width, 1, slots};
    w.input("key_cache", f16, cacheShape);
    w.input("value_cache", f16, {1, width, 1, slots});
    w.input("kv_cache_update_mask", i32, {1, slots});
    w.input("encoder_output_embeds", f16, {1, dims.width, 1, dims.encoderFrames});
    w.input("decoder_key_padding_mask", f16, {1, slots});

    // One entry per position a step can predict, and one past the cache.
    std::vector<int32_t> tokens(static_cast<size_t>(slots + 1), static_cast<int32_t>(endToken));
    std::vector<float> scores(tokens.size(), 20.0f);
    for (size_t i = 0; i < tokens.size(); ++i) {
        if (i < script.size()) tokens[i] = static_cast<int32_t>(script[i]);
        if (i < margins.size()) scores[i] = margins[i];
    }
    const auto table = w.constant("script", Tensor::of(i32, {slots + 1}, tokens));
    const auto margin = w.constant("margins", Tensor::of(f16, {slots + 1}, scores));
    const auto zero = w.scalar(f16, 0);

    const auto next = w.op("add", {{"x", "cache_length"}, {"y", w.scalar(i32, 1)}}, {{"next_position", i32, {1}}});
    const auto target = w.op("gather", {{"x", table}, {"indices", next}, {"axis", w.scalar(i32, 0)}}, {{"target", i32, {1}}});
    const auto score = w.op("gather", {{"x", margin}, {"indices", next}, {"axis", w.scalar(i32, 0)}}, {{"score", f16, {1}}});
    const auto ids = w.op("range_1d", {{"end", w.scalar(i32, static_cast<double>(vocabulary))}, {"start", w.scalar(i32, 0)},
                                       {"step", w.scalar(i32, 1)}},
                          {{"vocabulary_ids", i32, {vocabulary}}});
    const auto hit = w.op("equal", {{"x", ids}, {"y", target}}, {{"hit", DataType::Bool, {vocabulary}}});
    const auto row = w.op("select", {{"cond", hit}, {"a", score}, {"b", zero}}, {{"row", f16, {vocabulary}}});
    const DataType logitsType = malformation == Malformation::float32Logits ? DataType::Float32 : f16;
    if (logitsType == f16) {
        w.op("reshape", {{"x", row}, {"shape", w.ints({1, 1, vocabulary})}}, {{"logits", f16, {1, 1, vocabulary}}});
    } else {
        const auto wide = w.op("cast", {{"x", row}, {"dtype", w.text("fp32")}}, {{"row32", logitsType, {vocabulary}}});
        w.op("reshape", {{"x", wide}, {"shape", w.ints({1, 1, vocabulary})}}, {{"logits", logitsType, {1, 1, vocabulary}}});
    }

    const auto position = w.op("cast", {{"x", "cache_length"}, {"dtype", w.text("fp16")}}, {{"position", f16, {1}}});
    const auto negated = w.op("mul", {{"x", position}, {"y", w.scalar(f16, -1)}}, {{"negated_position", f16, {1}}});
    const auto ones = w.constant("ones", Tensor::of(f16, {1, width, 1, 1}, std::vector<float>(static_cast<size_t>(width), 1.0f)));
    w.op("mul", {{"x", ones}, {"y", position}}, {{"key_cache_updates", f16, {1, width, 1, 1}}});
    w.op("mul", {{"x", ones}, {"y", negated}}, {{"value_cache_updates", f16, {1, width, 1, 1}}});

    std::vector<std::string> outputs{"logits", "key_cache_updates"};
    if (malformation != Malformation::missingValueUpdates) outputs.push_back("value_cache_updates");
    if (alignmentFramesPerToken) {
        const int64_t frames = dims.encoderFrames;
        const auto frameIds = w.op("range_1d", {{"end", w.scalar(i32, static_cast<double>(frames))}, {"start", w.scalar(i32, 0)},
                                                {"step", w.scalar(i32, 1)}},
                                   {{"frame_ids", i32, {frames}}});
        const auto row = w.op("sub", {{"x", next}, {"y", w.scalar(i32, static_cast<double>(alignmentStart))}},
                              {{"alignment_row", i32, {1}}});
        const auto peak = w.op("mul", {{"x", row}, {"y", w.scalar(i32, static_cast<double>(*alignmentFramesPerToken))}},
                               {{"peak_frame", i32, {1}}});
        const auto diagonal = w.op("equal", {{"x", frameIds}, {"y", peak}}, {{"on_diagonal", DataType::Bool, {frames}}});
        const auto weights = w.op("cast", {{"x", diagonal}, {"dtype", w.text("fp16")}}, {{"diagonal_weights", f16, {frames}}});
        w.op("reshape", {{"x", weights}, {"shape", w.ints({1, frames})}}, {{"alignment_heads_weights", f16, {1, frames}}});
        outputs.push_back("alignment_heads_weights");
    }
    for (const auto& name : outputs) w.output(name);
    return w.write(bundle);
}

}  // namespace testsupport

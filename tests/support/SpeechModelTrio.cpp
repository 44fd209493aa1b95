#include "tests/support/SpeechModelTrio.h"

#include <cmath>
#include <functional>
#include <random>
#include <string>

#include "tests/support/ModelBundleWriter.h"

namespace testsupport {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kLargestFloat = 3.4028234663852886e38;
const DataType f16 = DataType::Float16;

// Writes the statements of one program with fresh variable names and random
// fp16 weights. A weight's values depend only on the seed and its name, so two
// programs that name their weights alike share them.
class Emitter {
public:
    Emitter(ModelBundleWriter& writer, uint32_t seed, ProductForm productForm = ProductForm::linearEinsum)
        : w(writer), form(productForm), seed_(seed) {}

    ModelBundleWriter& w;
    const ProductForm form;

    std::string fresh(const std::string& base) { return base + "_" + std::to_string(next_++); }

    std::string weight(const std::string& name, const Shape& shape, float scale, float offset = 0.0f) {
        std::seed_seq sequence{seed_, static_cast<uint32_t>(std::hash<std::string>{}(name))};
        std::mt19937 random(sequence);
        std::uniform_real_distribution<float> uniform(-scale, scale);
        std::vector<float> values(static_cast<size_t>(platform::coreml::runtime::countOf(shape)));
        for (auto& v : values) v = offset + uniform(random);
        return w.constant(name, Tensor::of(f16, shape, values));
    }

    std::string op(const std::string& name, const std::vector<std::pair<std::string, std::string>>& args, DataType type,
                   const Shape& shape, const std::string& output = {}) {
        return w.op(name, args, {{output.empty() ? fresh(name) : output, type, shape}});
    }

    std::string conv1x1(const std::string& x, const std::string& name, int64_t in, int64_t out, int64_t length,
                        bool bias = true) {
        const auto weightName = weight(name + "_weight", {out, in, 1, 1}, 1.0f / std::sqrt(static_cast<float>(in)));
        std::vector<std::pair<std::string, std::string>> args{{"x", x}, {"weight", weightName}};
        if (bias) args.emplace_back("bias", weight(name + "_bias", {out}, 0.1f));
        args.emplace_back("strides", w.ints({1, 1}));
        args.emplace_back("pad_type", w.text("valid"));
        args.emplace_back("dilations", w.ints({1, 1}));
        args.emplace_back("groups", w.scalar(DataType::Int32, 1));
        return op("conv", args, f16, {1, out, 1, length});
    }

    std::string layerNorm(const std::string& x, const std::string& name, int64_t width, int64_t length, bool fused) {
        const Shape shape{1, width, 1, length};
        if (fused) {
            return op("layer_norm",
                      {{"x", x}, {"axes", w.ints({1})}, {"gamma", weight(name + "_gamma", {width}, 0.1f, 1.0f)},
                       {"beta", weight(name + "_beta", {width}, 0.1f)}, {"epsilon", w.scalar(f16, 1e-5)}},
                      f16, shape);
        }
        // The same normalisation spelled out op by op, as some exports carry it.
        const Shape reduced{1, 1, 1, length};
        const auto axes = w.ints({1});
        const auto mean = op("reduce_mean", {{"x", x}, {"axes", axes}, {"keep_dims", w.boolean(true)}}, f16, reduced);
        const auto centred = op("sub", {{"x", x}, {"y", mean}}, f16, shape);
        const auto squares = op("mul", {{"x", centred}, {"y", centred}}, f16, shape);
        const auto variance = op("reduce_mean", {{"x", squares}, {"axes", axes}, {"keep_dims", w.boolean(true)}}, f16, reduced);
        const auto shifted = op("add", {{"x", variance}, {"y", w.scalar(f16, 1e-5)}}, f16, reduced);
        const auto scale = op("rsqrt", {{"x", shifted}, {"epsilon", w.scalar(f16, 0)}}, f16, reduced);
        const auto normalised = op("mul", {{"x", centred}, {"y", scale}}, f16, shape);
        const auto scaled = op("mul", {{"x", normalised}, {"y", weight(name + "_gamma", {width, 1, 1}, 0.1f, 1.0f)}}, f16, shape);
        return op("add", {{"x", scaled}, {"y", weight(name + "_beta", {width, 1, 1}, 0.1f)}}, f16, shape);
    }

    // Multi-head attention in the [1, C, 1, S] layout with the einsum forms of
    // real exports. `mask`, when given, is [1, keys, 1, queries] and added to the
    // scores; `weights` receives the softmaxed [1, keys, H, queries] scores.
    // In the matmul form the mask is [1, 1, queries, keys] and the weights
    // [1, H, queries, keys].
    std::string attention(const std::string& q, const std::string& k, const std::string& v, const std::string& mask,
                          int64_t width, int64_t heads, int64_t queries, int64_t keys, std::string* weights = nullptr) {
        const int64_t dh = width / heads;
        if (form == ProductForm::matmul) return matmulAttention(q, k, v, mask, width, heads, queries, keys, weights);
        const auto qh = op("reshape", {{"x", q}, {"shape", w.ints({1, heads, dh, queries})}}, f16, {1, heads, dh, queries});
        const auto qt = op("transpose", {{"x", qh}, {"perm", w.ints({0, 2, 1, 3})}}, f16, {1, dh, heads, queries});
        const auto kh = op("reshape", {{"x", k}, {"shape", w.ints({1, heads, dh, keys})}}, f16, {1, heads, dh, keys});
        const auto kt = op("transpose", {{"x", kh}, {"perm", w.ints({0, 3, 1, 2})}}, f16, {1, keys, heads, dh});
        const auto scores = op("einsum", {{"values", ModelBundleWriter::tuple({qt, kt})}, {"equation", w.text("bchq,bkhc->bkhq")}},
                               f16, {1, keys, heads, queries});
        auto scaled = op("mul", {{"x", scores}, {"y", w.scalar(f16, 1.0 / std::sqrt(static_cast<double>(dh)))}}, f16,
                         {1, keys, heads, queries});
        if (!mask.empty()) scaled = op("add", {{"x", scaled}, {"y", mask}}, f16, {1, keys, heads, queries});
        const auto probs = op("softmax", {{"x", scaled}, {"axis", w.scalar(DataType::Int32, 1)}}, f16, {1, keys, heads, queries});
        if (weights) *weights = probs;
        const auto vh = op("reshape", {{"x", v}, {"shape", w.ints({1, heads, dh, keys})}}, f16, {1, heads, dh, keys});
        const auto vt = op("transpose", {{"x", vh}, {"perm", w.ints({0, 2, 1, 3})}}, f16, {1, dh, heads, keys});
        const auto mixed = op("einsum", {{"values", ModelBundleWriter::tuple({vt, probs})}, {"equation", w.text("bchk,bkhq->bchq")}},
                              f16, {1, dh, heads, queries});
        const auto back = op("transpose", {{"x", mixed}, {"perm", w.ints({0, 2, 1, 3})}}, f16, {1, heads, dh, queries});
        return op("reshape", {{"x", back}, {"shape", w.ints({1, width, 1, queries})}}, f16, {1, width, 1, queries});
    }

    std::string matmulAttention(const std::string& q, const std::string& k, const std::string& v, const std::string& mask,
                                int64_t width, int64_t heads, int64_t queries, int64_t keys, std::string* weights) {
        const int64_t dh = width / heads;
        const Shape scoreShape{1, heads, queries, keys};
        const auto qh = op("reshape", {{"x", q}, {"shape", w.ints({1, heads, dh, queries})}}, f16, {1, heads, dh, queries});
        const auto qt = op("transpose", {{"x", qh}, {"perm", w.ints({0, 1, 3, 2})}}, f16, {1, heads, queries, dh});
        const auto kh = op("reshape", {{"x", k}, {"shape", w.ints({1, heads, dh, keys})}}, f16, {1, heads, dh, keys});
        const auto scores = op("matmul", {{"x", qt}, {"y", kh}}, f16, scoreShape);
        auto scaled = op("mul", {{"x", scores}, {"y", w.scalar(f16, 1.0 / std::sqrt(static_cast<double>(dh)))}}, f16, scoreShape);
        if (!mask.empty()) scaled = op("add", {{"x", scaled}, {"y", mask}}, f16, scoreShape);
        const auto probs = op("softmax", {{"x", scaled}, {"axis", w.scalar(DataType::Int32, -1)}}, f16, scoreShape);
        if (weights) *weights = probs;
        const auto vh = op("reshape", {{"x", v}, {"shape", w.ints({1, heads, dh, keys})}}, f16, {1, heads, dh, keys});
        const auto mixed = op("matmul", {{"x", vh}, {"y", probs}, {"transpose_y", w.boolean(true)}}, f16, {1, heads, dh, queries});
        return op("reshape", {{"x", mixed}, {"shape", w.ints({1, width, 1, queries})}}, f16, {1, width, 1, queries});
    }

    std::string mlp(const std::string& x, const std::string& name, int64_t width, int64_t length) {
        const auto up = conv1x1(x, name + "_fc1", width, 4 * width, length);
        const auto act = op("gelu", {{"x", up}, {"mode", w.text("EXACT")}}, f16, {1, 4 * width, 1, length});
        return conv1x1(act, name + "_fc2", 4 * width, width, length);
    }

private:
    uint32_t seed_;
    int next_ = 0;
};

double hzToMel(double hz) {
    const double linear = 200.0 / 3.0;
    if (hz < 1000.0) return hz / linear;
    return 1000.0 / linear + std::log(hz / 1000.0) / (std::log(6.4) / 27.0);
}

double melToHz(double mel) {
    const double linear = 200.0 / 3.0;
    if (mel < 1000.0 / linear) return mel * linear;
    return 1000.0 * std::exp((mel - 1000.0 / linear) * (std::log(6.4) / 27.0));
}

}  // namespace

TrioDimensions TrioDimensions::baseEn() {
    return TrioDimensions{};
}

TrioDimensions TrioDimensions::tiny() {
    TrioDimensions dims;
    dims.samples = 4800;
    dims.frames = 30;
    dims.encoderFrames = 15;
    dims.width = 32;
    dims.heads = 4;
    dims.encoderLayers = 2;
    dims.decoderLayers = 2;
    dims.vocabulary = 97;
    dims.cacheSlots = 16;
    return dims;
}

std::vector<float> melFilters(const TrioDimensions& dims) {
    const int64_t bins = dims.fftSize / 2 + 1;
    const double rate = 16000.0;
    std::vector<double> points(static_cast<size_t>(dims.melBins + 2));
    const double top = hzToMel(rate / 2);
    for (size_t i = 0; i < points.size(); ++i) points[i] = melToHz(top * static_cast<double>(i) / static_cast<double>(points.size() - 1));
    std::vector<float> filters(static_cast<size_t>(dims.melBins * bins), 0.0f);
    for (int64_t m = 0; m < dims.melBins; ++m) {
        const double left = points[static_cast<size_t>(m)], centre = points[static_cast<size_t>(m + 1)],
                     right = points[static_cast<size_t>(m + 2)];
        const double norm = 2.0 / (right - left);
        for (int64_t k = 0; k < bins; ++k) {
            const double f = rate * static_cast<double>(k) / static_cast<double>(dims.fftSize);
            const double rise = (f - left) / (centre - left), fall = (right - f) / (right - centre);
            filters[static_cast<size_t>(m * bins + k)] = static_cast<float>(std::max(0.0, std::min(rise, fall)) * norm);
        }
    }
    return filters;
}

std::filesystem::path writeMelSpectrogram(const std::filesystem::path& bundle, const TrioDimensions& dims) {
    ModelBundleWriter w(ModelBundleWriter::Dialect::program13, "ios16");
    Emitter e(w, 0);
    const DataType f32 = DataType::Float32;
    const int64_t n = dims.fftSize, bins = n / 2 + 1, half = n / 2;
    const int64_t padded = dims.samples + n;
    const int64_t columns = (padded - n) / dims.hop + 1;

    std::vector<float> real(static_cast<size_t>(bins * n)), imaginary(real.size());
    for (int64_t k = 0; k < bins; ++k) {
        for (int64_t t = 0; t < n; ++t) {
            const double window = 0.5 - 0.5 * std::cos(2 * kPi * static_cast<double>(t) / static_cast<double>(n));
            const double angle = 2 * kPi * static_cast<double>(k * t) / static_cast<double>(n);
            real[static_cast<size_t>(k * n + t)] = static_cast<float>(window * std::cos(angle));
            imaginary[static_cast<size_t>(k * n + t)] = static_cast<float>(-window * std::sin(angle));
        }
    }
    const auto cosBasis = w.constant("stft_real", Tensor::of(f32, {bins, 1, n}, real));
    const auto sinBasis = w.constant("stft_imaginary", Tensor::of(f32, {bins, 1, n}, imaginary));
    const auto filters = w.constant("mel_filters", Tensor::of(f32, {dims.melBins, bins}, melFilters(dims)));

    w.input("audio", f32, {dims.samples});
    const auto framed = e.op("reshape", {{"x", "audio"}, {"shape", w.ints({1, 1, dims.samples})}}, f32, {1, 1, dims.samples});
    const auto centred = e.op("pad", {{"x", framed}, {"pad", w.ints({half, half})}, {"mode", w.text("reflect")}, {"constant_val", w.scalar(f32, 0)}},
                              f32, {1, 1, padded});
    const auto stft = [&](const std::string& basis) {
        return e.op("conv", {{"x", centred}, {"weight", basis}, {"strides", w.ints({dims.hop})}, {"pad_type", w.text("valid")},
                             {"dilations", w.ints({1})}, {"groups", w.scalar(DataType::Int32, 1)}},
                    f32, {1, bins, columns});
    };
    const auto re = stft(cosBasis), im = stft(sinBasis);
    const auto re2 = e.op("square", {{"x", re}}, f32, {1, bins, columns});
    const auto im2 = e.op("square", {{"x", im}}, f32, {1, bins, columns});
    const auto power = e.op("add", {{"x", re2}, {"y", im2}}, f32, {1, bins, columns});
    // The last frame centres on the padding past the end; the mel program drops it.
    const auto kept = e.op("slice_by_index", {{"x", power}, {"begin", w.ints({0, 0, 0})}, {"end", w.ints({1, bins, -1})},
                                              {"stride", w.ints({1, 1, 1})}},
                           f32, {1, bins, dims.frames});
    const auto mel = e.op("matmul", {{"x", filters}, {"y", kept}}, f32, {1, dims.melBins, dims.frames});
    const auto floor = e.op("clip", {{"x", mel}, {"alpha", w.scalar(f32, 1e-10)}, {"beta", w.scalar(f32, kLargestFloat)}}, f32,
                            {1, dims.melBins, dims.frames});
    const auto ln = e.op("log", {{"x", floor}}, f32, {1, dims.melBins, dims.frames});
    const auto log10 = e.op("mul", {{"x", ln}, {"y", w.scalar(f32, 1.0 / std::log(10.0))}}, f32, {1, dims.melBins, dims.frames});
    const auto peak = e.op("reduce_max", {{"x", log10}, {"keep_dims", w.boolean(false)}}, f32, {});
    const auto lowest = e.op("sub", {{"x", peak}, {"y", w.scalar(f32, 8.0)}}, f32, {});
    const auto limited = e.op("maximum", {{"x", log10}, {"y", lowest}}, f32, {1, dims.melBins, dims.frames});
    const auto raised = e.op("add", {{"x", limited}, {"y", w.scalar(f32, 4.0)}}, f32, {1, dims.melBins, dims.frames});
    const auto scaled = e.op("real_div", {{"x", raised}, {"y", w.scalar(f32, 4.0)}}, f32, {1, dims.melBins, dims.frames});
    const auto shaped = e.op("reshape", {{"x", scaled}, {"shape", w.ints({1, dims.melBins, 1, dims.frames})}}, f32,
                             {1, dims.melBins, 1, dims.frames});
    e.op("cast", {{"x", shaped}, {"dtype", w.text("fp16")}}, f16, {1, dims.melBins, 1, dims.frames}, "melspectrogram_features");
    w.output("melspectrogram_features");
    return w.write(bundle);
}

std::filesystem::path writeAudioEncoder(const std::filesystem::path& bundle, const TrioDimensions& dims, uint32_t seed) {
    ModelBundleWriter w(ModelBundleWriter::Dialect::program13, "ios16");
    Emitter e(w, seed);
    const int64_t d = dims.width, frames = dims.frames, length = dims.encoderFrames;
    w.input("melspectrogram_features", f16, {1, dims.melBins, 1, frames});
    const auto convolution = [&](const std::string& x, const std::string& name, int64_t in, int64_t stride, int64_t out) {
        return e.op("conv",
                    {{"x", x}, {"weight", e.weight(name + "_weight", {d, in, 1, 3}, 1.0f / std::sqrt(3.0f * static_cast<float>(in)))},
                     {"bias", e.weight(name + "_bias", {d}, 0.1f)}, {"strides", w.ints({1, stride})},
                     {"pad_type", w.text("custom")}, {"pad", w.ints({0, 0, 1, 1})}, {"dilations", w.ints({1, 1})},
                     {"groups", w.scalar(DataType::Int32, 1)}},
                    f16, {1, d, 1, out});
    };
    auto x = e.op("gelu", {{"x", convolution("melspectrogram_features", "conv1", dims.melBins, 1, frames)}, {"mode", w.text("EXACT")}},
                  f16, {1, d, 1, frames});
    x = e.op("gelu", {{"x", convolution(x, "conv2", d, 2, length)}, {"mode", w.text("EXACT")}}, f16, {1, d, 1, length});
    x = e.op("add", {{"x", x}, {"y", e.weight("encoder_positions", {d, 1, length}, 0.5f)}}, f16, {1, d, 1, length});
    for (int64_t l = 0; l < dims.encoderLayers; ++l) {
        const std::string p = "encoder" + std::to_string(l);
        const auto h = e.layerNorm(x, p + "_ln1", d, length, l != 0);
        const auto q = e.conv1x1(h, p + "_q", d, d, length);
        const auto k = e.conv1x1(h, p + "_k", d, d, length, false);
        const auto v = e.conv1x1(h, p + "_v", d, d, length);
        const auto a = e.attention(q, k, v, "", d, dims.heads, length, length);
        x = e.op("add", {{"x", x}, {"y", e.conv1x1(a, p + "_out", d, d, length)}}, f16, {1, d, 1, length});
        x = e.op("add", {{"x", x}, {"y", e.mlp(e.layerNorm(x, p + "_ln2", d, length, true), p + "_mlp", d, length)}}, f16,
                 {1, d, 1, length});
    }
    e.op("layer_norm",
         {{"x", x}, {"axes", w.ints({1})}, {"gamma", e.weight("encoder_ln_post_gamma", {d}, 0.1f, 1.0f)},
          {"beta", e.weight("encoder_ln_post_beta", {d}, 0.1f)}, {"epsilon", w.scalar(f16, 1e-5)}},
         f16, {1, d, 1, length}, "encoder_output_embeds");
    w.output("encoder_output_embeds");
    return w.write(bundle);
}

namespace {

struct DecoderLayerOutputs {
    std::string x;
    std::string key;
    std::string value;
    std::string crossWeights;
};

// One decoder layer over `queries` positions. `selfKeys` and `selfValues` turn
// this layer's new keys and values into the ones attended over.
DecoderLayerOutputs decoderLayer(Emitter& e, const TrioDimensions& dims, int64_t l, const std::string& x, int64_t queries,
                                 int64_t keys, const std::function<std::string(const std::string&, bool)>& selfEntries,
                                 const std::string& selfMask) {
    auto& w = e.w;
    const int64_t d = dims.width, length = dims.encoderFrames;
    const std::string p = "decoder" + std::to_string(l);
    DecoderLayerOutputs out;
    const auto h = e.layerNorm(x, p + "_ln1", d, queries, l != 0);
    const auto q = e.conv1x1(h, p + "_q", d, d, queries);
    out.key = e.conv1x1(h, p + "_k", d, d, queries, false);
    out.value = e.conv1x1(h, p + "_v", d, d, queries);
    const auto a = e.attention(q, selfEntries(out.key, true), selfEntries(out.value, false), selfMask, d, dims.heads, queries, keys);
    auto y = e.op("add", {{"x", x}, {"y", e.conv1x1(a, p + "_out", d, d, queries)}}, f16, {1, d, 1, queries});
    const auto hc = e.layerNorm(y, p + "_ln_cross", d, queries, true);
    const auto qc = e.conv1x1(hc, p + "_cross_q", d, d, queries);
    const auto kc = e.conv1x1("encoder_output_embeds", p + "_cross_k", d, d, length, false);
    const auto vc = e.conv1x1("encoder_output_embeds", p + "_cross_v", d, d, length);
    const auto ac = e.attention(qc, kc, vc, "", d, dims.heads, queries, length, &out.crossWeights);
    y = e.op("add", {{"x", y}, {"y", e.conv1x1(ac, p + "_cross_out", d, d, queries)}}, f16, {1, d, 1, queries});
    out.x = e.op("add", {{"x", y}, {"y", e.mlp(e.layerNorm(y, p + "_ln2", d, queries, true), p + "_mlp", d, queries)}}, f16,
                 {1, d, 1, queries});
    (void)w;
    return out;
}

std::string finalLogits(Emitter& e, const TrioDimensions& dims, const std::string& x, int64_t queries, const std::string& output) {
    auto& w = e.w;
    const int64_t d = dims.width;
    const auto h = e.layerNorm(x, "decoder_ln_post", d, queries, true);
    const auto flat = e.op("reshape", {{"x", h}, {"shape", w.ints({d, queries})}}, f16, {d, queries});
    const auto rows = e.op("transpose", {{"x", flat}, {"perm", w.ints({1, 0})}}, f16, {queries, d});
    // The output projection is the token embedding itself, stored once.
    const auto projection = w.shareConstant("token_embedding_projection", "token_embedding");
    const auto logits = e.form == ProductForm::matmul
                            ? e.op("matmul", {{"x", rows}, {"y", projection}, {"transpose_y", w.boolean(true)}}, f16,
                                   {queries, dims.vocabulary})
                            : e.op("linear", {{"x", rows}, {"weight", projection}}, f16, {queries, dims.vocabulary});
    return e.op("reshape", {{"x", logits}, {"shape", w.ints({1, queries, dims.vocabulary})}}, f16, {1, queries, dims.vocabulary},
                output);
}

}  // namespace

std::filesystem::path writeTextDecoder(const std::filesystem::path& bundle, const TrioDimensions& dims, uint32_t seed,
                                       ProductForm form) {
    ModelBundleWriter w(ModelBundleWriter::Dialect::program13, "ios16");
    Emitter e(w, seed, form);
    const bool matmul = form == ProductForm::matmul;
    const int64_t d = dims.width, s = dims.cacheSlots, layers = dims.decoderLayers, width = dims.cacheWidth();
    w.input("input_ids", DataType::Int32, {1});
    w.input("cache_length", DataType::Int32, {1});
    w.input("key_cache", f16, {1, width, 1, s});
    w.input("value_cache", f16, {1, width, 1, s});
    w.input("kv_cache_update_mask", DataType::Int32, {1, s});
    w.input("encoder_output_embeds", f16, {1, d, 1, dims.encoderFrames});
    w.input("decoder_key_padding_mask", f16, {1, s});

    const auto embedding = e.weight("token_embedding", {dims.vocabulary, d}, 0.5f);
    const auto token = e.op("gather", {{"x", embedding}, {"indices", "input_ids"}, {"axis", w.scalar(DataType::Int32, 0)}}, f16, {1, d});
    const auto position = e.op("gather", {{"x", e.weight("decoder_positions", {s, d}, 0.5f)}, {"indices", "cache_length"},
                                          {"axis", w.scalar(DataType::Int32, 0)}},
                               f16, {1, d});
    const auto summed = e.op("add", {{"x", token}, {"y", position}}, f16, {1, d});
    std::string x = e.op("reshape", {{"x", summed}, {"shape", w.ints({1, d, 1, 1})}}, f16, {1, d, 1, 1});

    // The new entry goes into the slot the update mask marks; the padding mask
    // closes the slots not yet written.
    const auto updateMask = e.op("cast", {{"x", "kv_cache_update_mask"}, {"dtype", w.text("fp16")}}, f16, {1, s});
    const auto slot = e.op("reshape", {{"x", updateMask}, {"shape", w.ints({1, 1, 1, s})}}, f16, {1, 1, 1, s});
    const auto keep = e.op("sub", {{"x", w.scalar(f16, 1.0)}, {"y", slot}}, f16, {1, 1, 1, s});
    const Shape paddingShape = matmul ? Shape{1, 1, 1, s} : Shape{1, s, 1, 1};
    const auto padding = e.op("reshape", {{"x", "decoder_key_padding_mask"}, {"shape", w.ints(paddingShape)}}, f16, paddingShape);
    std::vector<ModelBundleWriter::Output> keyParts, valueParts;
    for (int64_t l = 0; l < layers; ++l) {
        keyParts.push_back({"key_cache_layer" + std::to_string(l), f16, {1, d, 1, s}});
        valueParts.push_back({"value_cache_layer" + std::to_string(l), f16, {1, d, 1, s}});
    }
    w.op("split", {{"x", "key_cache"}, {"num_splits", w.scalar(DataType::Int32, static_cast<double>(layers))}, {"axis", w.scalar(DataType::Int32, 1)}},
         keyParts);
    w.op("split", {{"x", "value_cache"}, {"num_splits", w.scalar(DataType::Int32, static_cast<double>(layers))}, {"axis", w.scalar(DataType::Int32, 1)}},
         valueParts);

    std::vector<std::string> keys, values;
    std::string crossWeights;
    for (int64_t l = 0; l < layers; ++l) {
        const auto merge = [&](const std::string& entry, bool isKey) {
            const auto& cache = (isKey ? keyParts : valueParts)[static_cast<size_t>(l)].name;
            const auto old = e.op("mul", {{"x", cache}, {"y", keep}}, f16, {1, d, 1, s});
            const auto fresh = e.op("mul", {{"x", entry}, {"y", slot}}, f16, {1, d, 1, s});
            return e.op("add", {{"x", old}, {"y", fresh}}, f16, {1, d, 1, s});
        };
        const auto layer = decoderLayer(e, dims, l, x, 1, s, merge, padding);
        x = layer.x;
        keys.push_back(layer.key);
        values.push_back(layer.value);
        crossWeights = layer.crossWeights;
    }
    e.op("concat", {{"values", ModelBundleWriter::tuple(keys)}, {"axis", w.scalar(DataType::Int32, 1)}}, f16, {1, width, 1, 1},
         "key_cache_updates");
    e.op("concat", {{"values", ModelBundleWriter::tuple(values)}, {"axis", w.scalar(DataType::Int32, 1)}}, f16, {1, width, 1, 1},
         "value_cache_updates");
    // Averaged over the heads.
    const auto averaged = e.op("reduce_mean", {{"x", crossWeights}, {"axes", w.ints({matmul ? 1 : 2})}, {"keep_dims", w.boolean(false)}},
                               f16, matmul ? Shape{1, 1, dims.encoderFrames} : Shape{1, dims.encoderFrames, 1});
    e.op("reshape", {{"x", averaged}, {"shape", w.ints({1, dims.encoderFrames})}}, f16, {1, dims.encoderFrames},
         "alignment_heads_weights");
    finalLogits(e, dims, x, 1, "logits");
    for (const char* name : {"logits", "key_cache_updates", "value_cache_updates", "alignment_heads_weights"}) w.output(name);
    return w.write(bundle);
}

std::filesystem::path writeFullSequenceDecoder(const std::filesystem::path& bundle, const TrioDimensions& dims, uint32_t seed,
                                               int64_t tokens) {
    ModelBundleWriter w(ModelBundleWriter::Dialect::program13, "ios16");
    Emitter e(w, seed);
    const int64_t d = dims.width;
    w.input("input_ids", DataType::Int32, {tokens});
    w.input("encoder_output_embeds", f16, {1, d, 1, dims.encoderFrames});
    const auto embedding = e.weight("token_embedding", {dims.vocabulary, d}, 0.5f);
    const auto token = e.op("gather", {{"x", embedding}, {"indices", "input_ids"}, {"axis", w.scalar(DataType::Int32, 0)}}, f16,
                            {tokens, d});
    std::vector<int32_t> positions(static_cast<size_t>(tokens));
    for (int64_t i = 0; i < tokens; ++i) positions[static_cast<size_t>(i)] = static_cast<int32_t>(i);
    const auto order = w.constant("positions", Tensor::of(DataType::Int32, {tokens}, positions));
    const auto position = e.op("gather", {{"x", e.weight("decoder_positions", {dims.cacheSlots, d}, 0.5f)}, {"indices", order},
                                          {"axis", w.scalar(DataType::Int32, 0)}},
                               f16, {tokens, d});
    const auto summed = e.op("add", {{"x", token}, {"y", position}}, f16, {tokens, d});
    const auto columns = e.op("transpose", {{"x", summed}, {"perm", w.ints({1, 0})}}, f16, {d, tokens});
    std::string x = e.op("reshape", {{"x", columns}, {"shape", w.ints({1, d, 1, tokens})}}, f16, {1, d, 1, tokens});
    // Key k is visible to query q when k <= q.
    std::vector<float> causal(static_cast<size_t>(tokens * tokens));
    for (int64_t k = 0; k < tokens; ++k) {
        for (int64_t q = 0; q < tokens; ++q) causal[static_cast<size_t>(k * tokens + q)] = k <= q ? 0.0f : -10000.0f;
    }
    const auto mask = w.constant("causal_mask", Tensor::of(f16, {1, tokens, 1, tokens}, causal));
    for (int64_t l = 0; l < dims.decoderLayers; ++l) {
        x = decoderLayer(e, dims, l, x, tokens, tokens, [](const std::string& entry, bool) { return entry; }, mask).x;
    }
    finalLogits(e, dims, x, tokens, "logits");
    w.output("logits");
    return w.write(bundle);
}

}  // namespace testsupport

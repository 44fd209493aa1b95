// Runs the synthetic base.en trio (random weights, real sizes) on the model
// runtime: the encoder on one 30-second window and the decoder per token with
// a 224-slot cache. The encoder's throughput is compared with OpenBLAS's own
// sgemm at the encoder's matrix sizes, measured in the same run.
#include <cblas.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchStatistics.h"
#include "platform/coreml/runtime/ElementwiseFusion.h"
#include "platform/coreml/runtime/Half.h"
#include "platform/coreml/runtime/RuntimeModel.h"
#include "platform/coreml/runtime/WorkerPool.h"
#include "platform/coreml/runtime/ops/DnnlMatmul.h"
#include "platform/coreml/runtime/ops/MatrixVector.h"
#include "platform/coreml/runtime/ops/TileProduct.h"
#include "platform/coreml/runtime/ops/VectorMath.h"
#include "platform/foundation/ProcessInfo.h"
#include "tests/support/SpeechModelTrio.h"
#include "tests/support/TempDirectory.h"

using namespace platform::coreml::runtime;
using Clock = std::chrono::steady_clock;

namespace {

using benchsupport::median;
using benchsupport::residentMegabytes;

double milliseconds(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

Tensor randomTensor(DataType type, const Shape& shape, uint32_t seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
    std::vector<float> values(static_cast<size_t>(countOf(shape)));
    for (auto& v : values) v = uniform(random);
    return Tensor::of(type, shape, values);
}

// Multiply-adds of the encoder counted twice (one multiply, one add).
double encoderFlops(const testsupport::TrioDimensions& d) {
    const double w = static_cast<double>(d.width), f = static_cast<double>(d.frames), t = static_cast<double>(d.encoderFrames);
    double flops = 2 * w * static_cast<double>(d.melBins) * 3 * f + 2 * w * w * 3 * t;
    const double perLayer = 4 * 2 * w * w * t       // q, k, v and output projections
                            + 2 * 2 * t * t * w     // scores and weighted values
                            + 2 * 2 * w * 4 * w * t;  // the two MLP layers
    return flops + perLayer * static_cast<double>(d.encoderLayers);
}

// OpenBLAS's own sgemm on its own threads, one per core. The runtime runs
// OpenBLAS single-threaded and splits products among its workers itself; the
// thread count is put back afterwards, as a well-behaved neighbour would.
double sgemmGflops(int m, int n, int k) {
    const int previousThreads = openblas_get_num_threads();
    openblas_set_num_threads(static_cast<int>(std::thread::hardware_concurrency()));
    std::vector<float> a(static_cast<size_t>(m) * k, 0.5f), b(static_cast<size_t>(k) * n, 0.25f), c(static_cast<size_t>(m) * n);
    double best = 0;
    for (int round = 0; round < 5; ++round) {
        const auto start = Clock::now();
        cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, m, n, k, 1.0f, a.data(), k, b.data(), n, 0.0f, c.data(), n);
        const double seconds = milliseconds(start) / 1000.0;
        best = std::max(best, 2.0 * m * n * k / seconds / 1e9);
    }
    openblas_set_num_threads(previousThreads);
    return best;
}

// Time to read `bytes` of fp16 weights once, summed on the workers' count of
// threads as a decoder step reads them: the bound a step that reads each
// weight once cannot beat. Median of rounds over a buffer larger than cache.
double weightReadMs(size_t bytes) {
    const size_t threads = std::thread::hardware_concurrency();
    // Read as 64-bit words, so that the sum keeps up with memory.
    std::vector<uint64_t> weights(bytes / 8, 0x3c003c003c003c00);
    std::vector<double> times;
    for (int round = 0; round < 7; ++round) {
        std::vector<uint64_t> sums(threads);
        const auto start = Clock::now();
        std::vector<std::thread> workers;
        for (size_t t = 0; t < threads; ++t) {
            workers.emplace_back([&, t] {
                const size_t begin = weights.size() * t / threads, end = weights.size() * (t + 1) / threads;
                uint64_t sum = 0;
                for (size_t i = begin; i < end; ++i) sum += weights[i];
                sums[t] = sum;
            });
        }
        for (auto& worker : workers) worker.join();
        times.push_back(milliseconds(start));
        if (sums.front() == 1) std::printf("unexpected\n");
    }
    return median(times);
}

// One matrix of fp16 numbers a plain decoder step reads, read as its product
// reads it: `rows` rows of `columns`, handed to the workers in ranges of rows.
struct StepRead {
    int64_t rows = 0, columns = 0;
};

// Everything a plain decoder step must read, in the order it reads it: per
// layer the self-attention projections, the self keys and values of the cache
// (one [slots, depth] matrix per head, and the values [depth, slots] per
// head), the cross-attention query, the carried cross keys and values, the
// output projections and the MLP; then the token embedding for the logits.
std::vector<StepRead> decoderStepReads(const testsupport::TrioDimensions& d) {
    const int64_t w = d.width, depth = d.width / d.heads;
    std::vector<StepRead> reads;
    for (int64_t l = 0; l < d.decoderLayers; ++l) {
        for (int projection = 0; projection < 3; ++projection) reads.push_back({w, w});
        reads.push_back({d.heads * d.cacheSlots, depth});
        reads.push_back({w, d.cacheSlots});
        reads.push_back({w, w});
        reads.push_back({w, w});
        reads.push_back({d.heads * d.encoderFrames, depth});
        reads.push_back({w, d.encoderFrames});
        reads.push_back({w, w});
        reads.push_back({4 * w, w});
        reads.push_back({w, 4 * w});
    }
    reads.push_back({d.vocabulary, w});
    return reads;
}

// Rows per range of a product with one vector, as the runtime's hands them out.
int64_t rowsPerRange(int64_t columns) {
    return std::max<int64_t>(4, 32768 / std::max<int64_t>(columns, 1));
}

// The time to stream every byte of `reads` once on the runtime's own pooled
// workers, one parallel call per matrix with the ranges the products use: the
// bound a plain step cannot beat. The steps measured here take turns with the
// other form's, whose weights are as large, so a model's bytes meet its next
// step after twice their size has been read: the rounds take turns between
// two copies of the bytes in the same way, or a processor whose last-level
// cache holds one copy would bound the step by that cache instead of by
// memory. Best of rounds.
double stepReadMs(const std::vector<StepRead>& reads) {
    constexpr size_t kCopies = 2;
    std::vector<size_t> starts;
    size_t words = 0;
    for (const StepRead& r : reads) {
        starts.push_back(words);
        words += static_cast<size_t>(r.rows * r.columns) / 4;  // four fp16 numbers a word
    }
    std::vector<uint64_t> memory(kCopies * words, 0x3c003c003c003c00);
    std::atomic<uint64_t> sink{0};
    double best = 1e9;
    for (size_t round = 0; round < 16; ++round) {
        wakeWorkers();
        const uint64_t* copy = memory.data() + round % kCopies * words;
        const auto start = Clock::now();
        for (size_t i = 0; i < reads.size(); ++i) {
            const int64_t rowWords = reads[i].columns / 4;
            const uint64_t* matrix = copy + starts[i];
            parallelFor(reads[i].rows, rowsPerRange(reads[i].columns), [&](int64_t begin, int64_t end) {
                uint64_t sum = 0;
                for (int64_t w = begin * rowWords; w < end * rowWords; ++w) sum += matrix[w];
                sink.fetch_add(sum, std::memory_order_relaxed);
            });
        }
        best = std::min(best, milliseconds(start));
    }
    if (sink.load() == 1) std::printf("unexpected\n");
    return best;
}

// Multiply-adds, counted twice, of a window's first step beyond a plain one:
// every layer projects the encoder output to cross keys and values.
double crossProjectionFlops(const testsupport::TrioDimensions& d) {
    return 2.0 * 2.0 * static_cast<double>(d.decoderLayers * d.width * d.width * d.encoderFrames);
}

// The processor, and the instructions each kernel family runs on it.
void printInstructionPaths() {
    std::printf("processor: %s\n", platform::ProcessInfo::systemValue("machdep.cpu.brand_string").c_str());
    std::printf("isa: matrix_vector %s\n", description(matrixVectorInstructions()));
    std::printf("isa: vector_math %s\n", description(vectorMathInstructions()));
    std::printf("isa: half_conversion %s\n", description(halfConversionInstructions()));
    std::printf("isa: elementwise_fusion %s\n", description(elementwiseFusionInstructions()));
    std::printf("isa: bfloat16_split %s\n", description(bfloat16SplitInstructions()));
    std::printf("isa: tile_products %s\n", tileProductsAvailable() ? "amx" : "none");
    std::printf("isa: fp32_products %s\n", dnnlFloatProductsRun() ? "onednn" : "openblas");
    std::printf("isa: openblas %s\n", openblas_get_corename());
}

// One decoder step's fp16 weights: per layer the self- and cross-attention
// projections, the MLP, and once the token embedding the logits read.
size_t decoderWeightBytes(const testsupport::TrioDimensions& d) {
    const size_t w = static_cast<size_t>(d.width);
    const size_t perLayer = 4 * w * w + 2 * w * w + 2 * 4 * w * w;  // self q/k/v/out, cross q/out, MLP
    return 2 * (perLayer * static_cast<size_t>(d.decoderLayers) + static_cast<size_t>(d.vocabulary) * w);
}

constexpr int32_t kWindowSteps = 24;

// One window of `decoder` over a 224-slot cache, a token per step from
// `firstToken` on.
class Window {
public:
    Window(RuntimeModel& decoder, const testsupport::TrioDimensions& dims, const Tensor& embeds, int32_t firstToken)
        : decoder_(decoder), embeds_(embeds), firstToken_(firstToken), width_(dims.cacheWidth()), slots_(dims.cacheSlots),
          keyCache_(DataType::Float16, {1, width_, 1, slots_}), valueCache_(DataType::Float16, {1, width_, 1, slots_}),
          updateMask_(static_cast<size_t>(slots_), 0), paddingMask_(static_cast<size_t>(slots_), -10000.0f) {
        updateMask_[0] = 1;
        paddingMask_[0] = 0;
    }

    // Decodes the next token; returns the step's time.
    double step() {
        const int32_t p = position_++;
        const auto start = Clock::now();
        const auto out = decoder_.predict({
            {"input_ids", Tensor::of(DataType::Int32, {1}, std::vector<int32_t>{firstToken_ + p})},
            {"cache_length", Tensor::of(DataType::Int32, {1}, std::vector<int32_t>{p})},
            {"key_cache", keyCache_},
            {"value_cache", valueCache_},
            {"kv_cache_update_mask", Tensor::of(DataType::Int32, {1, slots_}, updateMask_)},
            {"encoder_output_embeds", embeds_},
            {"decoder_key_padding_mask", Tensor::of(DataType::Float16, {1, slots_}, paddingMask_)},
        });
        const double ms = milliseconds(start);
        const auto* keys = out.at("key_cache_updates").data<platform::Float16>();
        const auto* values = out.at("value_cache_updates").data<platform::Float16>();
        for (int64_t c = 0; c < width_; ++c) {
            keyCache_.mutableData<platform::Float16>()[c * slots_ + p] = keys[c];
            valueCache_.mutableData<platform::Float16>()[c * slots_ + p] = values[c];
        }
        paddingMask_[static_cast<size_t>(p + 1)] = 0;
        updateMask_[static_cast<size_t>(p)] = 0;
        updateMask_[static_cast<size_t>(p + 1)] = 1;
        return ms;
    }

private:
    RuntimeModel& decoder_;
    const Tensor& embeds_;
    const int32_t firstToken_;
    const int64_t width_, slots_;
    Tensor keyCache_, valueCache_;
    std::vector<int32_t> updateMask_;
    std::vector<float> paddingMask_;
    int32_t position_ = 0;
};

}  // namespace

int main() {
    const auto dims = testsupport::TrioDimensions::baseEn();
    testsupport::TempDirectory dir;
    testsupport::writeMelSpectrogram(dir.path() / "MelSpectrogram.mlmodelc", dims);
    testsupport::writeAudioEncoder(dir.path() / "AudioEncoder.mlmodelc", dims, 1);
    testsupport::writeTextDecoder(dir.path() / "TextDecoder.mlmodelc", dims, 2);

    const double before = residentMegabytes();
    auto start = Clock::now();
    auto mel = RuntimeModel::load(dir.path() / "MelSpectrogram.mlmodelc");
    auto encoder = RuntimeModel::load(dir.path() / "AudioEncoder.mlmodelc");
    auto decoder = RuntimeModel::load(dir.path() / "TextDecoder.mlmodelc");
    const double loadMs = milliseconds(start);

    // Every round gets new audio: a model handed the same input bytes again
    // carries its previous results over instead of computing them.
    std::vector<double> melTimes;
    std::vector<Tensor> features;
    for (uint32_t round = 0; round < 5; ++round) {
        const Tensor audio = randomTensor(DataType::Float32, {dims.samples}, 3 + round);
        start = Clock::now();
        features.push_back(mel->predict({{"audio", audio}}).at("melspectrogram_features"));
        melTimes.push_back(milliseconds(start));
    }

    std::vector<double> encoderTimes;
    Tensor embeds;
    for (const Tensor& window : features) {
        start = Clock::now();
        embeds = encoder->predict({{"melspectrogram_features", window}}).at("encoder_output_embeds");
        encoderTimes.push_back(milliseconds(start));
    }

    std::vector<double> stepTimes;
    Window first(*decoder, dims, embeds, 50257);
    for (int32_t p = 0; p < kWindowSteps; ++p) stepTimes.push_back(first.step());
    const double residentAfter = residentMegabytes();

    // Best of five, as the sgemm reference is: both meet the same load.
    const double encoderMs = *std::min_element(encoderTimes.begin(), encoderTimes.end());
    const double encoderGflops = encoderFlops(dims) / (encoderMs / 1000.0) / 1e9;
    const int w = static_cast<int>(dims.width), t = static_cast<int>(dims.encoderFrames);
    const double sgemm = std::min(sgemmGflops(w, t, w), sgemmGflops(4 * w, t, w));

    // The same decoder written with matmul logits and matmul/softmax/matmul
    // attention, loaded after the resident figure is taken.
    testsupport::writeTextDecoder(dir.path() / "MatmulDecoder.mlmodelc", dims, 2, testsupport::ProductForm::matmul);
    auto matmulDecoder = RuntimeModel::load(dir.path() / "MatmulDecoder.mlmodelc");
    // The two forms take turns step by step, so that on a shared machine both
    // meet the same load; every step after a window's first counts.
    // Each window after the first reads new encoder output, as the next
    // stretch of audio would give, so its first step projects it again.
    std::vector<double> plainStepTimes(stepTimes.begin() + 1, stepTimes.end()), matmulStepTimes, firstStepTimes;
    for (int32_t round = 1; round <= 4; ++round) {
        const Tensor windowEmbeds = randomTensor(embeds.dataType(), embeds.shape(), 100 + static_cast<uint32_t>(round));
        Window matmulWindow(*matmulDecoder, dims, windowEmbeds, 50257 + kWindowSteps * round);
        Window plainWindow(*decoder, dims, windowEmbeds, 50257 + kWindowSteps * round);
        for (int32_t p = 0; p < kWindowSteps; ++p) {
            const double matmulMs = matmulWindow.step(), plainMs = plainWindow.step();
            if (p == 0) {
                firstStepTimes.push_back(plainMs);
                continue;
            }
            matmulStepTimes.push_back(matmulMs);
            plainStepTimes.push_back(plainMs);
        }
    }
    const double stepMs = median(plainStepTimes), matmulStepMs = median(matmulStepTimes);
    const double firstStepMs = median(firstStepTimes);
    const double readMs = weightReadMs(decoderWeightBytes(dims));
    const double stepBoundMs = stepReadMs(decoderStepReads(dims));
    const double firstStepBoundMs = crossProjectionFlops(dims) / (sgemm * 1e9) * 1000.0 + stepMs;

    printInstructionPaths();
    std::printf("trio load: %.0f ms\n", loadMs);
    std::printf("mel_ms: %.2f\n", median(melTimes));
    std::printf("encoder_ms: %.2f\n", encoderMs);
    std::printf("encoder_gflops: %.1f\n", encoderGflops);
    std::printf("sgemm_gflops: %.1f\n", sgemm);
    std::printf("encoder_share_of_sgemm: %.2f\n", encoderGflops / sgemm);
    // The first step of a window also projects the encoder output for the
    // cross-attention; the steps after it carry that over. The very first
    // prediction also reads the mapped weights from the page cache.
    std::printf("decoder_first_prediction_ms: %.2f\n", stepTimes.front());
    std::printf("decoder_first_step_ms: %.2f\n", firstStepMs);
    std::printf("decoder_step_ms: %.2f\n", stepMs);
    std::printf("decoder_first_step_over_step: %.2f\n", firstStepMs / stepMs);
    std::printf("decoder_weight_read_ms: %.2f\n", readMs);
    std::printf("decoder_step_over_weight_read: %.2f\n", stepMs / readMs);
    std::printf("decoder_step_read_ms: %.2f\n", stepBoundMs);
    std::printf("decoder_step_over_read: %.2f\n", stepMs / stepBoundMs);
    std::printf("decoder_first_step_bound_ms: %.2f\n", firstStepBoundMs);
    std::printf("decoder_first_step_over_bound: %.2f\n", firstStepMs / firstStepBoundMs);
    std::printf("decoder_step_ms_matmul_form: %.2f\n", matmulStepMs);
    std::printf("matmul_form_over_linear_form: %.2f\n", matmulStepMs / stepMs);
    std::printf("trio_resident_mb: %.0f\n", residentAfter - before);
    return 0;
}

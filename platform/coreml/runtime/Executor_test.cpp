#include <cstring>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "platform/coreml/runtime/RuntimeModel.h"
#include "tests/support/ModelBundleWriter.h"
#include "tests/support/SpeechModelTrio.h"
#include "tests/support/TempDirectory.h"

namespace platform::coreml::runtime {
namespace {

using testsupport::TrioDimensions;
using Outputs = std::map<std::string, std::vector<float>>;

// Work carried from one prediction to the next must never be stale: every
// result here is checked against a model loaded afresh, which has nothing to
// carry over.
class CarriedWork : public ::testing::Test {
protected:
    CarriedWork() : bundle_(testsupport::writeTextDecoder(dir_.path() / "TextDecoder.mlmodelc", dims_, 3)) {}

    Tensor encoderOutput(uint32_t seed) const {
        std::mt19937 random(seed);
        std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
        std::vector<float> values(static_cast<size_t>(dims_.width * dims_.encoderFrames));
        for (auto& v : values) v = uniform(random);
        return Tensor::of(DataType::Float16, {1, dims_.width, 1, dims_.encoderFrames}, values);
    }

    std::map<std::string, Tensor> stepInputs(const Tensor& encoder, int32_t token, int32_t position) const {
        const int64_t e = dims_.cacheWidth(), s = dims_.cacheSlots;
        std::vector<float> cache(static_cast<size_t>(e * s));
        for (size_t i = 0; i < cache.size(); ++i) cache[i] = static_cast<float>((i * 13 + static_cast<size_t>(position)) % 7) * 0.1f - 0.3f;
        std::vector<int32_t> update(static_cast<size_t>(s), 0);
        std::vector<float> padding(static_cast<size_t>(s), -10000.0f);
        update[static_cast<size_t>(position)] = 1;
        for (int32_t p = 0; p <= position; ++p) padding[static_cast<size_t>(p)] = 0;
        return {{"input_ids", Tensor::of(DataType::Int32, {1}, std::vector<int32_t>{token})},
                {"cache_length", Tensor::of(DataType::Int32, {1}, std::vector<int32_t>{position})},
                {"key_cache", Tensor::of(DataType::Float16, {1, e, 1, s}, cache)},
                {"value_cache", Tensor::of(DataType::Float16, {1, e, 1, s}, cache)},
                {"kv_cache_update_mask", Tensor::of(DataType::Int32, {1, s}, update)},
                {"encoder_output_embeds", encoder},
                {"decoder_key_padding_mask", Tensor::of(DataType::Float16, {1, s}, padding)}};
    }

    static Outputs read(const std::map<std::string, Tensor>& outputs) {
        Outputs result;
        for (const auto& [name, tensor] : outputs) result.emplace(name, tensor.toFloats());
        return result;
    }

    Outputs fresh(const std::map<std::string, Tensor>& inputs) const { return read(RuntimeModel::load(bundle_)->predict(inputs)); }

    TrioDimensions dims_ = TrioDimensions::tiny();
    testsupport::TempDirectory dir_;
    std::filesystem::path bundle_;
};

TEST_F(CarriedWork, EveryChangeOfTheEncoderOutputGivesNewResults) {
    auto model = RuntimeModel::load(bundle_);
    const Tensor first = encoderOutput(1);
    Tensor lastBit = encoderOutput(1);
    lastBit.mutableBytes()[lastBit.byteSize() - 2] ^= std::byte{1};
    Tensor firstBit = encoderOutput(1);
    firstBit.mutableBytes()[0] ^= std::byte{1};
    const struct {
        const char* change;
        Tensor encoder;
        int32_t position;
    } steps[] = {
        {"first window", first, 0},
        {"same bytes, new storage, next token", encoderOutput(1), 1},
        {"lowest bit of the last element flipped", lastBit, 2},
        {"lowest bit of the first element flipped", firstBit, 3},
        {"back to the first window", first, 4},
        {"another window", encoderOutput(2), 5},
        {"the first window again", first, 6},
    };
    for (const auto& step : steps) {
        const auto inputs = stepInputs(step.encoder, 40 + step.position, step.position);
        EXPECT_EQ(read(model->predict(inputs)), fresh(inputs)) << step.change;
    }
}

// Inputs of more than a few hundred kilobytes are compared and copied in
// parts on the workers: a change in any part must count.
TEST_F(CarriedWork, AChangeInAnyPartOfALargeInputCounts) {
    dims_.encoderFrames = 9000;
    bundle_ = testsupport::writeTextDecoder(dir_.path() / "LongWindow.mlmodelc", dims_, 4);
    auto model = RuntimeModel::load(bundle_);
    const Tensor first = encoderOutput(1);
    ASSERT_GT(first.byteSize(), size_t{1} << 19);
    std::vector<Tensor> changed;
    for (const size_t at : {first.byteSize() / 2 + 1, first.byteSize() - 1, size_t{0}}) {
        changed.push_back(encoderOutput(1));
        changed.back().mutableBytes()[at] ^= std::byte{4};
    }
    int32_t position = 0;
    for (const Tensor& encoder : {first, changed[0], first, changed[1], changed[1], changed[2], first}) {
        const auto inputs = stepInputs(encoder, 30 + position, position);
        EXPECT_EQ(read(model->predict(inputs)), fresh(inputs)) << "step " << position;
        ++position;
    }
}

TEST_F(CarriedWork, RepeatedInputsGiveIdenticalResults) {
    auto model = RuntimeModel::load(bundle_);
    const auto inputs = stepInputs(encoderOutput(1), 7, 2);
    const Outputs once = read(model->predict(inputs));
    EXPECT_EQ(read(model->predict(inputs)), once);
    EXPECT_EQ(read(model->predict(stepInputs(encoderOutput(1), 7, 2))), once);
}

TEST_F(CarriedWork, StorageTheCallerRewritesInPlaceIsReadAnew) {
    auto model = RuntimeModel::load(bundle_);
    Tensor encoder = encoderOutput(1);
    const auto before = stepInputs(encoder, 9, 1);
    model->predict(before);
    const Tensor replacement = encoderOutput(2);
    std::memcpy(encoder.mutableBytes(), replacement.bytes(), encoder.byteSize());
    const auto after = stepInputs(encoder, 9, 1);
    EXPECT_EQ(read(model->predict(after)), fresh(after));
}

// An input that changes at every run stops being copied for comparison and
// is read from the caller's storage; when it settles it must be found equal
// again, and every change after that must still count.
TEST_F(CarriedWork, AnInputThatKeptChangingIsComparedAgainOnceItSettles) {
    auto model = RuntimeModel::load(bundle_);
    Tensor buffer = encoderOutput(1);
    const auto rewrite = [&](const Tensor& contents) { std::memcpy(buffer.mutableBytes(), contents.bytes(), buffer.byteSize()); };
    Tensor flipped = encoderOutput(7);
    flipped.mutableBytes()[10] ^= std::byte{1};
    for (int32_t step = 0; step < 40; ++step) {
        if (step < 20) {
            rewrite(encoderOutput(static_cast<uint32_t>(100 + step)));
        } else if (step == 33) {
            rewrite(flipped);
        } else {
            rewrite(encoderOutput(7));
        }
        const int32_t position = step % static_cast<int32_t>(dims_.cacheSlots);
        const auto inputs = stepInputs(buffer, 5 + step, position);
        ASSERT_EQ(read(model->predict(inputs)), fresh(inputs)) << "step " << step;
    }
}

// Keys of one query's attention are reordered once and the reordered copy
// carried over; it must follow every change of the keys.
// Keys reordered into a copy that is carried over (summed labels not
// innermost), and keys read where they lie until they repeat.
TEST(CarriedReorderedOperands, FollowEveryChangeOfTheirInput) {
    struct Case {
        const char* equation;
        Shape keys, scores;
    };
    const Case cases[] = {{"bchq,bchk->bkhq", {1, 6, 2, 9}, {1, 9, 2, 1}}, {"bchq,bkhc->bkhq", {1, 9, 2, 6}, {1, 9, 2, 1}}};
    const auto tensor = [](const Shape& shape, uint32_t seed) {
        std::mt19937 random(seed);
        std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
        std::vector<float> values(static_cast<size_t>(countOf(shape)));
        for (auto& v : values) v = uniform(random);
        return Tensor::of(DataType::Float16, shape, values);
    };
    for (const Case& c : cases) {
        testsupport::TempDirectory dir;
        testsupport::ModelBundleWriter w(testsupport::ModelBundleWriter::Dialect::program13, "ios16");
        w.input("query", DataType::Float16, {1, 6, 2, 1});
        w.input("keys", DataType::Float16, c.keys);
        w.op("einsum", {{"values", testsupport::ModelBundleWriter::tuple({"query", "keys"})}, {"equation", w.text(c.equation)}},
             {{"scores", DataType::Float16, c.scores}});
        w.output("scores");
        const auto bundle = w.write(dir.path() / "Scores.mlmodelc");
        const Tensor keys = tensor(c.keys, 1), otherKeys = tensor(c.keys, 2);
        Tensor flipped = tensor(c.keys, 1);
        flipped.mutableBytes()[flipped.byteSize() - 1] ^= std::byte{0x40};
        const Tensor steps[][2] = {{tensor({1, 6, 2, 1}, 10), keys},    {tensor({1, 6, 2, 1}, 11), keys},
                                   {tensor({1, 6, 2, 1}, 13), keys},    {tensor({1, 6, 2, 1}, 11), flipped},
                                   {tensor({1, 6, 2, 1}, 12), otherKeys}, {tensor({1, 6, 2, 1}, 12), keys}};
        auto model = RuntimeModel::load(bundle);
        for (size_t i = 0; i < std::size(steps); ++i) {
            const std::map<std::string, Tensor> inputs{{"query", steps[i][0]}, {"keys", steps[i][1]}};
            EXPECT_EQ(model->predict(inputs).at("scores").toFloats(),
                      RuntimeModel::load(bundle)->predict(inputs).at("scores").toFloats())
                << c.equation << " step " << i;
        }
    }
}

TEST_F(CarriedWork, ConcurrentWindowsOnOneModelStayApart) {
    constexpr int kWindows = 4, kSteps = 6;
    std::vector<std::vector<std::map<std::string, Tensor>>> windows(kWindows);
    std::vector<std::vector<Outputs>> expected(kWindows);
    for (int w = 0; w < kWindows; ++w) {
        const Tensor encoder = encoderOutput(static_cast<uint32_t>(100 + w));
        for (int32_t p = 0; p < kSteps; ++p) {
            windows[static_cast<size_t>(w)].push_back(stepInputs(encoder, 3 * w + p, p));
            expected[static_cast<size_t>(w)].push_back(fresh(windows[static_cast<size_t>(w)].back()));
        }
    }
    auto model = RuntimeModel::load(bundle_);
    std::vector<std::vector<Outputs>> actual(kWindows);
    std::vector<std::thread> threads;
    for (int w = 0; w < kWindows; ++w) {
        threads.emplace_back([&, w] {
            for (const auto& inputs : windows[static_cast<size_t>(w)]) actual[static_cast<size_t>(w)].push_back(read(model->predict(inputs)));
        });
    }
    for (auto& thread : threads) thread.join();
    for (int w = 0; w < kWindows; ++w) {
        for (int p = 0; p < kSteps; ++p) {
            for (const auto& [name, values] : expected[static_cast<size_t>(w)][static_cast<size_t>(p)]) {
                const auto& got = actual[static_cast<size_t>(w)][static_cast<size_t>(p)].at(name);
                ASSERT_EQ(got.size(), values.size());
                for (size_t i = 0; i < values.size(); ++i) {
                    ASSERT_NEAR(got[i], values[i], 1e-3f * (1 + std::fabs(values[i])))
                        << name << " of window " << w << ", step " << p << ", element " << i;
                }
            }
        }
    }
}

}  // namespace
}  // namespace platform::coreml::runtime

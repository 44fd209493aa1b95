#include "app/ui/OllamaControls.h"

#include <gtest/gtest.h>

namespace dictaro {
namespace {

using namespace ollama_controls;

TEST(OllamaControls, TellsAnInstalledModelByItsNameOrTaggedName) {
    const std::vector<std::string> installed{"llama3.3:latest", "qwen3:8b", "qwen3:4b-instruct"};
    const std::vector<std::pair<std::string, bool>> cases{
        {"llama3.3", true}, {"qwen3:8b", true}, {"qwen3:4b", false}, {"qwen3", true},
        {"llama3", false},  {"qwen3:8", false}, {"", false},
    };
    for (const auto& [model, expected] : cases) EXPECT_EQ(isModelInstalled(installed, model), expected) << model;
}

TEST(OllamaControls, WritesSizesInDecimalUnits) {
    const std::vector<std::pair<std::int64_t, std::string>> cases{
        {0, "0 MB"},           {499'999, "0 MB"},         {734'000'000, "734 MB"},
        {999'499'999, "999 MB"}, {1'000'000'000, "1.0 GB"}, {2'500'000'000, "2.5 GB"},
    };
    for (const auto& [bytes, text] : cases) EXPECT_EQ(formatBytes(bytes), text) << bytes;
}

TEST(OllamaControls, ShowsProgressWithBytesOnTheBarAndStepsAsText) {
    OllamaBlockState block;
    showPullStarted(block);
    struct Step {
        OllamaSetup::PullProgress progress;
        std::string text;
        bool indeterminate;
        double value;
    };
    const std::vector<Step> steps{
        {{"pulling manifest", std::nullopt, std::nullopt}, "pulling manifest", true, 0},
        {{"pulling abc", 0, 0}, "pulling abc \u2014 0 MB / 0 MB", true, 0},
        {{"pulling abc", 1'500'000'000, 3'000'000'000}, "pulling abc \u2014 1.5 GB / 3.0 GB", false, 0.5},
        {{"verifying", 5, std::nullopt}, "verifying", false, 0.5},
    };
    for (const Step& step : steps) {
        showPullProgress(block, step.progress);
        EXPECT_EQ(block.pullStatus.text, step.text);
        EXPECT_EQ(block.pullBarIndeterminate, step.indeterminate) << step.text;
        EXPECT_DOUBLE_EQ(block.pullBarValue, step.value) << step.text;
    }
}

TEST(OllamaControls, OffersToOpenOrInstallAnUnreachableServer) {
    for (bool installed : {true, false}) {
        OllamaBlockState block;
        showHealth(block, OllamaSetup::Health::unreachable(), "qwen3:4b", "http://127.0.0.1:9", installed, false);
        EXPECT_EQ(block.daemonButtonTitle, installed ? "Open Ollama" : "Install Ollama");
        EXPECT_TRUE(block.daemonButtonVisible);
        EXPECT_FALSE(block.modelButtonVisible);
    }
    OllamaBlockState pulling;
    showHealth(pulling, OllamaSetup::Health::running({}), "qwen3:4b", "http://127.0.0.1:9", true, true);
    EXPECT_FALSE(pulling.modelButtonVisible) << "no second download while one runs";
}

}  // namespace
}  // namespace dictaro

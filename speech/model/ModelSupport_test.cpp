#include "speech/model/ModelSupport.h"

#include <algorithm>

#include <gtest/gtest.h>

#include "speech/model/Constants.h"

namespace sonoscribe {
namespace {

const std::vector<std::string> kKnownModels = {
    "openai_whisper-base",
    "openai_whisper-base.en",
    "openai_whisper-tiny",
    "openai_whisper-tiny.en",
    "openai_whisper-small",
    "openai_whisper-small.en",
    "openai_whisper-large-v2_949MB",
    "openai_whisper-large-v2_turbo_955MB",
    "openai_whisper-large-v3_947MB",
    "openai_whisper-large-v3_turbo_954MB",
    "distil-whisper_distil-large-v3_594MB",
    "distil-whisper_distil-large-v3_turbo_600MB",
    "openai_whisper-large-v3-v20240930_626MB",
    "openai_whisper-large-v3-v20240930_turbo_632MB",
    "openai_whisper-large-v2",
    "openai_whisper-large-v3",
    "distil-whisper_distil-large-v3",
    "openai_whisper-large-v2_turbo",
    "openai_whisper-large-v3_turbo",
    "distil-whisper_distil-large-v3_turbo",
    "openai_whisper-large-v3-v20240930",
    "openai_whisper-large-v3-v20240930_turbo",
};

DeviceSupport entry(std::vector<std::string> identifiers, std::vector<std::string> supported,
                    std::string defaultModel = "a") {
    return DeviceSupport(std::nullopt, std::move(identifiers), ModelSupport(std::move(defaultModel), std::move(supported)));
}

TEST(ModelSupportConfig, BuiltInTableKnowsTwentyTwoModels) {
    const ModelSupportConfig& builtIn = Constants::fallbackModelSupportConfig();
    EXPECT_EQ(builtIn.repoName(), "sonoscribe-coreml-fallback");
    EXPECT_EQ(builtIn.repoVersion(), "0.4");
    ASSERT_EQ(builtIn.deviceSupports.size(), 6u);
    EXPECT_EQ(Constants::knownModels(), kKnownModels);
    EXPECT_EQ(builtIn.knownModels, kKnownModels);

    const std::size_t disabledCounts[] = {18, 8, 9, 0, 16, 8};
    for (std::size_t i = 0; i < 6; ++i) {
        const ModelSupport& models = builtIn.deviceSupports[i].models;
        EXPECT_EQ(models.disabled.size(), disabledCounts[i]) << "entry " << i + 1;
        EXPECT_EQ(models.disabled.size() + models.supported().size(), 22u) << "entry " << i + 1;
        for (const std::string& name : models.disabled) {
            EXPECT_EQ(std::ranges::count(models.supported(), name), 0) << name;
        }
    }
}

TEST(ModelSupportConfig, LongestMatchingIdentifierWins) {
    const ModelSupportConfig& builtIn = Constants::fallbackModelSupportConfig();
    struct Case {
        const char* device;
        const char* defaultModel;
        std::size_t supportedCount;
    };
    const Case cases[] = {
        {"Mac14,2", "openai_whisper-large-v3-v20240930", 22},
        {"iPad13,16", "openai_whisper-large-v3-v20240930_626MB", 13},
        {"iPad13,1", "openai_whisper-base", 6},
        {"iPhone12,8", "openai_whisper-tiny", 4},
        {"MacBookPro16,1", "openai_whisper-base", 22},
        {"", "openai_whisper-base", 22},
    };
    for (const Case& c : cases) {
        ModelSupport support = builtIn.modelSupport(c.device);
        EXPECT_EQ(support.defaultModel(), c.defaultModel) << c.device;
        EXPECT_EQ(support.supported().size(), c.supportedCount) << c.device;
    }
    EXPECT_EQ(builtIn.modelSupport("MacBookPro16,1").supported(), kKnownModels);

    // Among equally long matches the earliest entry wins.
    ModelSupportConfig tie("mine", "1", {entry({"Mac1"}, {"first"}, "first"), entry({"Mac1"}, {"second"}, "second")},
                           false);
    EXPECT_EQ(tie.modelSupport("Mac1,1").defaultModel(), "first");

    // A shorter match met first, in an earlier entry or earlier in the same
    // entry, gives way to a longer one met later.
    ModelSupportConfig ordered("mine", "1",
                               {entry({"Mac"}, {"short"}, "short"), entry({"iPad", "Mac14,2"}, {"long"}, "long"),
                                entry({"iPad1", "iPad13,16"}, {"longest"}, "longest")},
                               false);
    const std::pair<const char*, const char*> orderedCases[] = {
        {"Mac14,2", "long"}, {"Mac14,3", "short"}, {"iPad13,16", "longest"}, {"iPad13,1", "longest"}, {"iPad9", "long"}};
    for (const auto& [device, expected] : orderedCases) {
        EXPECT_EQ(ordered.modelSupport(device).defaultModel(), expected) << device;
    }
}

TEST(ModelSupportConfig, MergesWithTheBuiltInTableByName) {
    ModelSupportConfig merged("sonoscribe-coreml", "1", {entry({"Mac14"}, {"a"})});
    ASSERT_EQ(merged.deviceSupports.size(), 6u);
    const DeviceSupport& first = merged.deviceSupports[0];
    EXPECT_EQ(first.identifiers(), std::vector<std::string>{"Mac14"});
    EXPECT_EQ(first.models.defaultModel(), "a");
    ASSERT_EQ(first.models.supported().size(), 23u);
    EXPECT_EQ(first.models.supported()[0], "a");
    EXPECT_TRUE(first.models.disabled.empty());
    // The built-in M2 entry is replaced; the other five follow in order.
    const auto& builtIn = Constants::fallbackModelSupportConfig().deviceSupports;
    const std::size_t kept[] = {0, 1, 2, 4, 5};
    for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(merged.deviceSupports[i + 1].identifiers(), builtIn[kept[i]].identifiers());
    EXPECT_EQ(merged.knownModels.size(), 23u);
    EXPECT_EQ(merged.deviceSupports[1].models.disabled.size(), 19u);

    ModelSupportConfig own("my-models", "1", {entry({"Mac14"}, {"a"})});
    ASSERT_EQ(own.deviceSupports.size(), 1u);
    EXPECT_EQ(own.knownModels, std::vector<std::string>{"a"});
    EXPECT_EQ(own.defaultSupport.models.defaultModel(), "openai_whisper-base");
    EXPECT_EQ(own.defaultSupport.models.supported(), std::vector<std::string>{"a"});

    // A remote entry naming no built-in identifier is kept as it is.
    ModelSupportConfig unrelated("sonoscribe-coreml", "1", {entry({"Vision1"}, {"z", "z"})});
    EXPECT_EQ(unrelated.deviceSupports.size(), 7u);
    EXPECT_EQ(unrelated.deviceSupports[0].models.supported(), (std::vector<std::string>{"z", "z"}));
}

TEST(ModelSupportConfig, JsonFormAndStrictDecoding) {
    const char* text =
        R"({"name":"my-models","version":"2","device_support":[{"chips":"M9","identifiers":["Mac99"],)"
        R"("models":{"default":"m","supported":["m","n"]}},{"identifiers":["Mac98"],)"
        R"("models":{"default":"n","supported":["n"]},"extra":true}]})";
    ModelSupportConfig config = decodeJSON<ModelSupportConfig>(text);
    EXPECT_EQ(encodeJSON(config), std::string(text).replace(std::string(text).find(R"(,"extra":true)"), 13, ""));
    EXPECT_EQ(config.deviceSupports[1].models.disabled, std::vector<std::string>{"m"});
    EXPECT_EQ(config.deviceSupports[0].chips(), "M9");
    EXPECT_EQ(config.deviceSupports[1].chips(), std::nullopt);

    EXPECT_EQ(decodeJSON<ModelSupportConfig>(R"({"name":"sonoscribe-coreml","version":"1","device_support":[]})")
                  .deviceSupports.size(),
              6u);
    EXPECT_EQ(decodeJSON<DeviceSupport>(R"({"chips":null,"identifiers":[],"models":{"default":"a","supported":[]}})")
                  .chips(),
              std::nullopt);

    for (const char* bad : {
             R"({"version":"1","device_support":[]})",
             R"({"name":"x","device_support":[]})",
             R"({"name":"x","version":"1"})",
             R"({"name":"x","version":1,"device_support":[]})",
             R"({"name":"x","version":"1","device_support":[{"models":{"default":"a","supported":[]}}]})",
             R"({"name":"x","version":"1","device_support":[{"identifiers":[]}]})",
             R"({"name":"x","version":"1","device_support":[{"identifiers":[],"models":{"supported":[]}}]})",
             R"({"name":"x","version":"1","device_support":[{"identifiers":[],"models":{"default":"a"}}]})",
             R"({"name":"x","version":"1","device_support":[{"chips":3,"identifiers":[],"models":{"default":"a","supported":[]}}]})",
             R"({"name":"x","version":"1","device_support":{}})",
         }) {
        EXPECT_THROW(decodeJSON<ModelSupportConfig>(bad), DecodingError) << bad;
    }
}

}  // namespace
}  // namespace sonoscribe

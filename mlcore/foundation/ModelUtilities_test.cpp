#include "mlcore/foundation/ModelUtilities.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/coreml/MLDictionaryFeatureProvider.h"

namespace celvan {
namespace {

namespace fs = std::filesystem;
using platform::URL;

const std::string kPackageModel = ".mlpackage/Data/com.apple.CoreML/model.mlmodel";

class ModelFolder : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "model_folder_XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
    }
    void TearDown() override { fs::remove_all(root_); }

    // Creates each path below the root: a trailing "/" makes a folder, else a file.
    void create(const std::vector<std::string>& paths) const {
        for (const std::string& path : paths) {
            const fs::path full = root_ / path;
            if (path.back() == '/') {
                fs::create_directories(full);
            } else {
                fs::create_directories(full.parent_path());
                std::ofstream(full) << "model";
            }
        }
    }
    URL folder() const { return URL::fileURLWithPath(root_.string(), true); }
    std::string at(const std::string& relative) const { return (root_ / relative).string(); }

    fs::path root_;
};

TEST_F(ModelFolder, FindsTheNamedModelCompiledFirstThenAsPackage) {
    struct Case {
        const char* name;
        std::vector<std::string> files;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"package only", {"TextDecoder" + kPackageModel}, "TextDecoder" + kPackageModel},
        {"package and compiled", {"TextDecoder" + kPackageModel, "TextDecoder.mlmodelc/"}, "TextDecoder.mlmodelc"},
        {"compiled only", {"TextDecoder.mlmodelc/"}, "TextDecoder.mlmodelc"},
        {"empty folder", {}, "TextDecoder.mlmodelc"},
        {"package without its model file", {"TextDecoder.mlpackage/Data/"}, "TextDecoder.mlmodelc"},
        {"another model only", {"AudioEncoder.mlmodelc/", "AudioEncoder" + kPackageModel}, "TextDecoder.mlmodelc"},
    };
    for (const Case& c : cases) {
        fs::remove_all(root_);
        fs::create_directories(root_);
        create(c.files);
        EXPECT_EQ(ModelUtilities::detectModelURL(folder(), "TextDecoder").path(), at(c.expected)) << c.name;
    }
}

TEST_F(ModelFolder, SearchesTheWholeTreeOnlyWhenAskedTo) {
    struct Case {
        const char* name;
        std::vector<std::string> files;
        bool recursive;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"two levels down", {"openai_whisper-tiny/nested/MelSpectrogram.mlmodelc/"}, true,
         "openai_whisper-tiny/nested/MelSpectrogram.mlmodelc"},
        {"two levels down, not recursive", {"openai_whisper-tiny/nested/MelSpectrogram.mlmodelc/"}, false,
         "MelSpectrogram.mlmodelc"},
        {"top level wins", {"MelSpectrogram.mlmodelc/", "a/MelSpectrogram.mlmodelc/"}, true,
         "MelSpectrogram.mlmodelc"},
        {"inside a hidden folder", {".cache/MelSpectrogram.mlmodelc/"}, true, ".cache/MelSpectrogram.mlmodelc"},
        {"packages are not searched", {"MelSpectrogram" + kPackageModel}, true, "MelSpectrogram.mlmodelc"},
        {"name must match whole", {"a/XMelSpectrogram.mlmodelc/", "b/MelSpectrogram.mlmodelc.bak/"}, true,
         "MelSpectrogram.mlmodelc"},
    };
    for (const Case& c : cases) {
        fs::remove_all(root_);
        fs::create_directories(root_);
        create(c.files);
        EXPECT_EQ(ModelUtilities::detectModelURL(folder(), "MelSpectrogram", c.recursive).path(), at(c.expected))
            << c.name;
    }
    const URL missing = folder().appendingPathComponent("missing");
    EXPECT_EQ(ModelUtilities::detectModelURL(missing, "MelSpectrogram", true).path(),
              at("missing/MelSpectrogram.mlmodelc"));
}

TEST_F(ModelFolder, FindsAnyModelDirectlyInTheFolder) {
    struct Case {
        const char* name;
        std::vector<std::string> files;
        std::optional<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"compiled before package", {"A" + kPackageModel, "B.mlmodelc/"}, "B.mlmodelc"},
        {"package alone", {"A" + kPackageModel, "notes.txt"}, "A" + kPackageModel},
        {"first compiled by name", {"Z.mlmodelc/", "M.mlmodelc/"}, "M.mlmodelc"},
        {"nested models do not count", {"sub/A.mlmodelc/", "config.json"}, std::nullopt},
        {"empty", {}, std::nullopt},
    };
    for (const Case& c : cases) {
        fs::remove_all(root_);
        fs::create_directories(root_);
        create(c.files);
        const std::optional<URL> found = ModelUtilities::detectModelURL(folder());
        ASSERT_EQ(found.has_value(), c.expected.has_value()) << c.name;
        if (found) {
            EXPECT_EQ(found->path(), at(*c.expected)) << c.name;
        }
    }
    EXPECT_FALSE(ModelUtilities::detectModelURL(folder().appendingPathComponent("missing")).has_value());
    create({"file.mlmodelc.txt"});
    EXPECT_FALSE(ModelUtilities::detectModelURL(folder().appendingPathComponent("file.mlmodelc.txt")).has_value());
}

TEST(ModelDimensions, ReadOnlyMultiArrayShapeConstraints) {
    using platform::MLFeatureType;
    using platform::MLMultiArrayDataType;
    platform::MLModelDescription description;
    description.inputDescriptionsByName["input_ids"] = {
        "input_ids", MLFeatureType::multiArray, false, platform::MLMultiArrayConstraint{{1}, MLMultiArrayDataType::int32}};
    description.outputDescriptionsByName["alignment_heads_weights"] = {
        "alignment_heads_weights", MLFeatureType::multiArray, false,
        platform::MLMultiArrayConstraint{{1, 1, 448}, MLMultiArrayDataType::float16}};
    description.outputDescriptionsByName["image"] = {"image", MLFeatureType::image, false, std::nullopt};
    description.outputDescriptionsByName["dictionary"] = {
        "dictionary", MLFeatureType::dictionary, false, platform::MLMultiArrayConstraint{{3}, MLMultiArrayDataType::float32}};
    description.outputDescriptionsByName["free"] = {"free", MLFeatureType::multiArray, false, std::nullopt};
    const auto model = std::make_shared<platform::MLModel>(
        description, [](const platform::MLFeatureProvider&, const platform::MLPredictionOptions&) {
            return std::make_shared<platform::MLDictionaryFeatureProvider>(std::map<std::string, platform::MLFeatureValue>{});
        });

    struct Case {
        bool output;
        std::string name;
        int64_t position;
        std::optional<int64_t> dimension;
    };
    for (const Case& c : {Case{true, "alignment_heads_weights", 2, 448}, Case{true, "alignment_heads_weights", 0, 1},
                          Case{true, "alignment_heads_weights", 3, std::nullopt},
                          Case{true, "alignment_heads_weights", -1, std::nullopt},
                          Case{true, "image", 0, std::nullopt}, Case{true, "dictionary", 0, std::nullopt},
                          Case{true, "free", 0, std::nullopt}, Case{true, "logits", 0, std::nullopt},
                          Case{true, "input_ids", 0, std::nullopt}, Case{false, "input_ids", 0, 1},
                          Case{false, "alignment_heads_weights", 2, std::nullopt}}) {
        const auto dimension = c.output ? ModelUtilities::getModelOutputDimension(model, c.name, c.position)
                                        : ModelUtilities::getModelInputDimension(model, c.name, c.position);
        EXPECT_EQ(dimension, c.dimension) << c.name << " at " << c.position;
    }
    EXPECT_EQ(ModelUtilities::getModelInputDimension(nullptr, "input_ids", 0), std::nullopt);
    EXPECT_EQ(ModelUtilities::getModelOutputDimension(nullptr, "alignment_heads_weights", 2), std::nullopt);
}

}  // namespace
}  // namespace celvan

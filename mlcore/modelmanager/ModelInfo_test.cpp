#include "mlcore/modelmanager/ModelInfo.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "mlcore/foundation/FoundationExtensions.h"
#include "mlcore/modelmanager/ModelDownloaderError.h"

namespace celvan {
namespace {

using platform::MLComputeUnits;
using platform::URL;

// Every file of a repository holding several layouts of one model family.
const std::vector<std::string> kRepository = {
    "A/Model.mlmodelc/model.mil",
    "A/Model.mlmodelc/weights/weight.bin",
    "A/B/Model.mlmodelc/model.mil",
    "A/B/Model.mlmodelc/weights/weight.bin",
    "A/V/Model.mlmodelc/model.mil",
    "A/V/B/Model.mlmodelc/model.mil",
    "A/V/B/Model.mlmodelc/weights/weight.bin",
    "A/V/C/Model.mlmodelc/model.mil",
    "A/W/B/Model.mlmodelc/model.mil",
    "AB/Model.mlmodelc/model.mil",
    "A*/Model.mlmodelc/model.mil",
    "config.json",
};

std::vector<std::string> sorted(std::vector<std::string> names) {
    std::sort(names.begin(), names.end());
    return names;
}

// What the hub listing would fetch, and what lies below the folder the lookup reads.
std::vector<std::string> fetched(const ModelInfo& info) { return sorted(matching(kRepository, info.downloadPattern())); }
std::vector<std::string> below(const std::string& folder) {
    std::vector<std::string> files;
    for (const auto& file : kRepository) {
        if (file.starts_with(folder + "/")) files.push_back(file);
    }
    return sorted(files);
}

TEST(ModelInfo, DownloadsExactlyTheFilesOfTheFolderTheLookupReads) {
    struct Case {
        std::optional<std::string> version;
        std::optional<std::string> variant;
        std::string name;
        std::string pattern;
        std::string folder;  // below the root "/repo"
    };
    const std::vector<Case> cases = {
        {std::nullopt, std::nullopt, "A", "A/*", "A"},
        {std::nullopt, "B", "A", "A/B/*", "A/B"},
        {"V", std::nullopt, "A", "A/V/*", "A/V"},
        {"V", "B", "A", "A/V/B/*", "A/V/B"},
        {"", "", "A", "A/*", "A"},
        {std::nullopt, std::nullopt, "A*", "A\\*/*", "A*"},
    };
    const URL root = URL::fileURLWithPath("/repo", true);
    for (const auto& c : cases) {
        const ModelInfo info(c.version, c.variant, c.name, MLComputeUnits::all);
        const std::string label = info.debugDescription();
        EXPECT_EQ(info.downloadPattern(), c.pattern) << label;
        EXPECT_EQ(info.modelURL(root).path(), "/repo/" + c.folder) << label;
        EXPECT_EQ(info.description(), c.folder) << label;
        EXPECT_EQ(fetched(info), below(c.folder)) << label;
        EXPECT_FALSE(fetched(info).empty()) << label;
    }
}

TEST(ModelInfo, FindsTheRepositoryRootAboveTheLastFolderOfItsName) {
    struct Case {
        std::string path;
        std::optional<std::string> base;
    };
    const std::vector<Case> cases = {
        {"/cache/models/owner/repo/A", "/cache/models/owner/repo"},
        {"/cache/models/owner/repo/A/V/B/Model.mlmodelc", "/cache/models/owner/repo"},
        {"/A/x/A/y", "/A/x"},
        {"/A", "/"},
        {"/cache/a/AB/Ab", std::nullopt},
        {"/", std::nullopt},
    };
    const ModelInfo info(std::nullopt, std::nullopt, "A", MLComputeUnits::all);
    for (const auto& c : cases) {
        const auto base = info.findBaseFolder(URL::fileURLWithPath(c.path, true));
        ASSERT_EQ(base.has_value(), c.base.has_value()) << c.path;
        if (base) {
            EXPECT_EQ(base->path(), *c.base) << c.path;
        }
    }
}

TEST(ModelInfo, DebugTextNamesAnUnknownComputeUnitAsSuch) {
    EXPECT_EQ(ModelInfo(std::nullopt, "B", "A", static_cast<MLComputeUnits>(7)).debugDescription(),
              "ModelInfo(name: A, version: nil, variant: B, computeUnit: unknown)");
    EXPECT_EQ(ModelInfo("V", std::nullopt, "A", MLComputeUnits::cpuAndGPU).debugDescription(),
              "ModelInfo(name: A, version: V, variant: nil, computeUnit: cpuAndGPU)");
    EXPECT_STREQ(ModelDownloaderError::modelUnavailable("No model found for X").what(), "No model found for X");
}

}  // namespace
}  // namespace celvan

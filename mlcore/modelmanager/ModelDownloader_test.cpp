#include "mlcore/modelmanager/ModelDownloader.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/HubTestEnvironment.h"
#include "mlcore/modelmanager/ModelDownloaderError.h"
#include "mlcore/modelmanager/ModelStatePrinting.h"

namespace celvan {
namespace {

namespace fs = std::filesystem;
using platform::MLComputeUnits;
using platform::URL;

// The files of one compiled model, nested as a real one is.
const std::vector<std::string> kModelFiles = {"Model.mlmodelc/model.mil", "Model.mlmodelc/coremldata.bin",
                                              "Model.mlmodelc/weights/weight.bin"};

class ModelDownloaderTest : public testing::HubTestEnvironment {
protected:
    void SetUp() override {
        HubTestEnvironment::SetUp();
        ::setenv("CI_DISABLE_NETWORK_MONITOR", "1", 1);
        for (const char* folder : {"whisper", "whisper/base", "whisper/v1", "whisper/v1/base", "whisper/v2/base"}) {
            serveModel(folder);
        }
    }

    void serveModel(const std::string& folder) {
        unsigned seed = 1;
        for (const auto& file : kModelFiles) {
            serve(folder + "/" + file, bytes(3000 + 500 * seed, seed + static_cast<unsigned>(folder.size())));
            ++seed;
        }
    }

    ModelDownloader downloader(std::optional<std::string> modelFolder = std::nullopt,
                               std::optional<std::string> endpoint = std::nullopt) {
        return ModelDownloader(ModelDownloadConfig(cache().string(), repoId, std::nullopt, std::move(modelFolder), false,
                                                   endpoint.value_or(server().endpoint()), "main"));
    }

    static URL folderURL(const fs::path& path) { return URL::fileURLWithPath(path.string(), true); }
    fs::path repoFolder(const fs::path& base) const { return base / "models" / repoId; }

    // Every file of the served model at `folder` is in `local`, byte for byte.
    bool holdsWholeModel(const fs::path& local, const std::string& folder) const {
        for (const auto& file : kModelFiles) {
            const fs::path served = serverRoot() / "models" / repoId / folder / file;
            if (!fs::exists(local / file) || readFile(local / file) != readFile(served)) return false;
        }
        return true;
    }

    // The states reported by one call, and the message it failed with.
    struct Outcome {
        std::optional<URL> url;
        std::vector<ModelState> states;
        std::string error;
    };
    static Outcome resolve(const ModelDownloader& loader, const ModelInfo& info, bool download,
                           std::optional<URL> base = std::nullopt, std::optional<URL> modelFolder = std::nullopt,
                           const std::string& name = "Model") {
        Outcome outcome;
        try {
            outcome.url = loader.resolveModel(name, info, modelFolder, base, download,
                                              [&](ModelState state) { outcome.states.push_back(state); });
        } catch (const std::exception& error) {
            outcome.error = error.what();
        }
        return outcome;
    }

    static ModelInfo info(std::optional<std::string> version, std::optional<std::string> variant) {
        return ModelInfo(std::move(version), std::move(variant), "whisper", MLComputeUnits::cpuAndNeuralEngine);
    }
};

using States = std::vector<ModelState>;

TEST_F(ModelDownloaderTest, EveryLayoutIsDownloadedWholeAndThenFoundInTheCache) {
    struct Case {
        std::optional<std::string> version;
        std::optional<std::string> variant;
        std::string folder;
    };
    const std::vector<Case> cases = {
        {std::nullopt, std::nullopt, "whisper"},
        {std::nullopt, "base", "whisper/base"},
        {"v1", std::nullopt, "whisper/v1"},
        {"v1", "base", "whisper/v1/base"},
    };
    const ModelDownloader models = downloader();
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto& c = cases[i];
        SCOPED_TRACE(c.folder);
        const fs::path base = cache() / std::to_string(i);
        const fs::path expected = repoFolder(base) / c.folder / "Model.mlmodelc";

        const Outcome downloaded = resolve(models, info(c.version, c.variant), true, folderURL(base));
        ASSERT_EQ(downloaded.error, "");
        EXPECT_EQ(downloaded.url->path(), expected.string());
        EXPECT_EQ(downloaded.states, (States{ModelState::downloading, ModelState::downloaded}));
        EXPECT_TRUE(holdsWholeModel(repoFolder(base) / c.folder, c.folder));

        const Outcome cached = resolve(models, info(c.version, c.variant), false, folderURL(base));
        EXPECT_EQ(cached.url, downloaded.url);
        EXPECT_EQ(cached.states, States{ModelState::downloaded});
    }
    EXPECT_FALSE(fs::exists(repoFolder(cache() / "3") / "whisper/v2")) << "a sibling version was fetched";
}

TEST_F(ModelDownloaderTest, LooksInTheModelFolderThenTheCacheThenTheHub) {
    const ModelInfo v1base = info("v1", "base");
    writeFile(scratch() / "whisper/v1/base/Model.mlmodelc/model.mil", "mine");

    // A named folder that holds the model is used as it is, without the hub.
    for (const auto& models : {downloader(), downloader(scratch().string())}) {
        const Outcome local = resolve(models, v1base, true, std::nullopt,
                                      models.config().modelFolder ? std::nullopt : std::optional(folderURL(scratch())));
        EXPECT_EQ(local.url->path(), (scratch() / "whisper/v1/base/Model.mlmodelc").string());
        EXPECT_TRUE(local.states.empty());
    }
    EXPECT_TRUE(server().requests().empty());

    // Nowhere on disk and no download: the hub is not asked either.
    const ModelDownloader models = downloader();
    const Outcome nowhere = resolve(models, info("v2", "base"), false, std::nullopt, folderURL(scratch()));
    EXPECT_EQ(nowhere.error, "No model found for Model (download disabled)");
    EXPECT_TRUE(nowhere.states.empty());
    EXPECT_TRUE(server().requests().empty());

    const Outcome fetched = resolve(models, info("v2", "base"), true, std::nullopt, folderURL(scratch()));
    EXPECT_EQ(fetched.url->path(), (repoFolder(cache()) / "whisper/v2/base/Model.mlmodelc").string());

    struct Failure {
        ModelInfo info;
        std::string name;
        std::string error;
    };
    for (const auto& failure : std::vector<Failure>{{info("v9", "base"), "Model", "No model found for Model"},
                                                    {info("v2", "base"), "Other", "No model found for Other"}}) {
        const Outcome missing = resolve(models, failure.info, true, std::nullopt, std::nullopt, failure.name);
        EXPECT_EQ(missing.error, failure.error);
        EXPECT_EQ(missing.states, States{ModelState::downloading});
    }

    try {
        models.downloadModel(info("v9", "base"), std::nullopt, true);
        ADD_FAILURE() << "no error";
    } catch (const ModelDownloaderError& error) {
        EXPECT_EQ(error.kind(), ModelDownloaderError::Kind::modelUnavailable);
        EXPECT_STREQ(error.what(), "No models found matching \"whisper/v9/base/*\" in owner/model");
    }
}

TEST_F(ModelDownloaderTest, AModelDownloadedOnceIsFoundWithTheHubStopped) {
    auto hub = std::make_unique<testsupport::TestHubServer>(serverRoot());
    const ModelDownloader models = downloader(std::nullopt, hub->endpoint());
    const Outcome downloaded = resolve(models, info("v1", "base"), true);
    ASSERT_EQ(downloaded.error, "");
    hub.reset();

    for (bool download : {false, true}) {
        const Outcome offline = resolve(models, info("v1", "base"), download);
        EXPECT_EQ(offline.error, "") << download;
        EXPECT_EQ(offline.url, downloaded.url);
        EXPECT_EQ(offline.states, States{ModelState::downloaded});
    }
}

// A hub that lists nothing for the model cannot vouch for the copy on disk.
TEST_F(ModelDownloaderTest, AModelTheHubListsNoFileOfIsNoCompleteCopy) {
    const ModelDownloader models = downloader();
    ASSERT_EQ(resolve(models, info("v1", "base"), true).error, "");
    fs::remove_all(serverRoot() / "models" / repoId / "whisper/v1/base");

    const Outcome unlisted = resolve(models, info("v1", "base"), false);
    EXPECT_EQ(unlisted.error, "No model found for Model (download disabled)");
    EXPECT_TRUE(unlisted.states.empty());
    try {
        models.downloadModel(info("v1", "base"), std::nullopt, true);
        ADD_FAILURE() << "no error";
    } catch (const ModelDownloaderError& error) {
        EXPECT_STREQ(error.what(), "No models found matching \"whisper/v1/base/*\" in owner/model");
    }
}

TEST_F(ModelDownloaderTest, ADownloadCutOffHalfWayIsNoModelUntilARetryCompletesIt) {
    using Kind = testsupport::HubFault::Kind;
    struct Cut {
        std::string label;
        Kind kind;
        std::string method;
        bool leavesPartialFile;
    };
    // Half of one file's body, which leaves its partial file behind; or the
    // file refused before it starts, which leaves nothing of it at all.
    const std::vector<Cut> cuts = {{"half a body", Kind::bodyLength, "GET", true},
                                   {"refused before the file", Kind::reply, "HEAD", false}};
    const ModelDownloader models = downloader();
    int run = 0;
    for (const auto& c : cuts) {
        bool sawPartialModel = false;
        // Files are fetched in no set order, so each one takes its turn at
        // being cut; some turn leaves finished files beside the cut one.
        for (const auto& file : kModelFiles) {
            SCOPED_TRACE(c.label + ": " + file);
            const fs::path base = cache() / ("cut" + std::to_string(run++));
            const std::string cutFile = "whisper/v1/base/" + file;
            testsupport::HubFault cut;
            cut.kind = c.kind;
            cut.method = c.method;
            cut.path = filePath(cutFile);
            cut.status = 500;
            cut.bytes = fs::file_size(serverRoot() / "models" / repoId / cutFile) / 2;
            cut.times = 1;
            server().addFault(cut);

            // The message is not read: the hub's own error text is not what
            // this is about.
            EXPECT_ANY_THROW(models.resolveModel("Model", info("v1", "base"), std::nullopt, folderURL(base), true, {}));
            sawPartialModel = sawPartialModel || fs::exists(repoFolder(base) / "whisper/v1/base/Model.mlmodelc");
            EXPECT_EQ(resolve(models, info("v1", "base"), false, folderURL(base)).error,
                      "No model found for Model (download disabled)");
            if (c.leavesPartialFile) {
                try {
                    models.resolveRepo({"whisper/v1/*"}, folderURL(base), false, {});
                    ADD_FAILURE() << "an unfinished folder counted as present";
                } catch (const ModelDownloaderError& error) {
                    EXPECT_STREQ(error.what(),
                                 "No local models found for repo 'owner/model' and download is disabled.");
                }
            }

            server().clearFaults();
            const Outcome retried = resolve(models, info("v1", "base"), true, folderURL(base));
            EXPECT_EQ(retried.error, "");
            EXPECT_EQ(retried.states, (States{ModelState::downloading, ModelState::downloaded}));
            EXPECT_TRUE(holdsWholeModel(repoFolder(base) / "whisper/v1/base", "whisper/v1/base"));
        }
        EXPECT_TRUE(sawPartialModel) << c.label;
    }
}

TEST_F(ModelDownloaderTest, ARepositoryFolderCountsOnlyOnceItHoldsFinishedFiles) {
    const std::string bookkeeping = ".cache/huggingface/download/";
    const std::string tag = "0123456789abcdef0123456789abcdef01234567";
    struct Case {
        std::string label;
        std::vector<std::string> patterns;
        std::vector<std::string> files;  // below the repository folder; a trailing "/" makes an empty folder
        bool present;
    };
    const std::vector<Case> cases = {
        {"no pattern", {}, {}, true},
        {"leading wildcard", {"*/x"}, {"a/x"}, false},
        {"any entry", {"whisper/*"}, {"whisper/notes.txt"}, true},
        {"empty folder", {"whisper/*"}, {"whisper/"}, false},
        {"a file, not a folder", {"whisper/*"}, {"whisper"}, false},
        {"only partial files", {"whisper/*"}, {"whisper/Model.mlmodelc/w.bin." + tag + ".incomplete"}, false},
        {"a partial in the bookkeeping",
         {"whisper/*"},
         {"whisper/a.bin", bookkeeping + "whisper/b.bin." + tag + ".incomplete"},
         false},
        {"a partial left from an older version",
         {"whisper/*"},
         {"whisper/a.bin", bookkeeping + "whisper/a.bin." + tag + ".incomplete"},
         true},
        {"one pattern of two", {"whisper/v1/*", "other/*"}, {"whisper/v1/x"}, false},
    };
    const ModelDownloader models = downloader();
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto& c = cases[i];
        SCOPED_TRACE(c.label);
        const fs::path base = cache() / std::to_string(i);
        fs::create_directories(repoFolder(base));
        for (const auto& file : c.files) {
            if (file.ends_with("/")) {
                fs::create_directories(repoFolder(base) / file);
            } else {
                writeFile(repoFolder(base) / file, "x");
            }
        }
        try {
            EXPECT_EQ(models.resolveRepo(c.patterns, folderURL(base), false, {}).path(), repoFolder(base).string());
            EXPECT_TRUE(c.present);
        } catch (const ModelDownloaderError& error) {
            EXPECT_FALSE(c.present);
            EXPECT_STREQ(error.what(), "No local models found for repo 'owner/model' and download is disabled.");
        }
    }
    EXPECT_TRUE(server().requests().empty());

    int reports = 0;
    const URL fetched = models.resolveRepo({"whisper/v1/base/*"}, folderURL(cache() / "0"), true,
                                           [&](const platform::Progress&) { ++reports; });
    EXPECT_TRUE(holdsWholeModel(fs::path(fetched.path()) / "whisper/v1/base", "whisper/v1/base"));
    EXPECT_GT(reports, 0);
}

}  // namespace
}  // namespace celvan

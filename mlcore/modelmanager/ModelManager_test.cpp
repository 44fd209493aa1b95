#include "mlcore/modelmanager/ModelManager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "mlcore/foundation/CelvanCoreError.h"
#include "mlcore/foundation/Logging.h"
#include "tests/support/HubTestEnvironment.h"
#include "mlcore/modelmanager/ModelDownloaderError.h"
#include "mlcore/modelmanager/ModelStatePrinting.h"

namespace celvan {
namespace {

using States = std::vector<std::pair<ModelState, ModelState>>;

// A loader that writes down what it is asked to do. Download and load can be
// held at a gate, and can be told to fail.
class RecordingLoader : public ModelLoader {
public:
    std::optional<std::string> folder;
    std::function<std::string(const std::shared_ptr<ModelDownloader>&)> fetch = [](const auto&) {
        return std::string("/models/fetched");
    };
    std::optional<std::string> downloadFailure;
    std::optional<std::string> loadFailure;
    std::shared_future<void> gate;

    std::optional<std::string> modelFolderPath() const override { return folder; }

    std::string download(const std::shared_ptr<ModelDownloader>& downloader,
                         const ModelDownloader::ProgressCallback&) override {
        record("download");
        pass();
        if (auto failure = take(downloadFailure)) throw ModelDownloaderError::modelUnavailable(*failure);
        return fetch(downloader);
    }

    void load(const std::string& path, bool prewarmMode) override {
        record(std::string(prewarmMode ? "prewarm " : "load ") + path);
        pass();
        if (auto failure = take(loadFailure)) throw std::runtime_error(*failure);
    }

    void unload() noexcept override { record("unload"); }

    std::vector<std::string> calls() const {
        const std::lock_guard lock(mutex_);
        return calls_;
    }

private:
    void record(std::string call) {
        const std::lock_guard lock(mutex_);
        calls_.push_back(std::move(call));
    }
    void pass() const {
        if (gate.valid()) gate.wait();
    }
    // A failure happens once: the run after it succeeds.
    std::optional<std::string> take(std::optional<std::string>& failure) {
        const std::lock_guard lock(mutex_);
        return std::exchange(failure, std::nullopt);
    }

    mutable std::mutex mutex_;
    std::vector<std::string> calls_;
};

// Overrides the state's setter, as a subclass may, to see every change.
class WhisperModels : public ModelManager {
public:
    using ModelManager::ModelManager;

    void setModelState(ModelState state) override {
        if (state != modelState()) {
            const std::lock_guard lock(setMutex_);
            set_.push_back(state);
        }
        ModelManager::setModelState(state);
    }

    std::vector<ModelState> set() {
        const std::lock_guard lock(setMutex_);
        return std::exchange(set_, {});
    }

private:
    std::mutex setMutex_;
    std::vector<ModelState> set_;
};

class ModelManagerTest : public ::testing::Test {
protected:
    void SetUp() override { fresh(); }

    // A new loader and manager, nothing reported yet.
    void fresh() {
        states.clear();
        loader = std::make_shared<RecordingLoader>();
        downloader = std::make_shared<ModelDownloader>("http://127.0.0.1:9", "owner/model", std::nullopt, "main", false);
        manager = std::make_unique<WhisperModels>(loader, downloader);
        models = static_cast<WhisperModels*>(manager.get());
        // The callback reads the manager back, which would hang if it ran under
        // the manager's lock.
        manager->setModelStateCallback([this](ModelState from, ModelState to) {
            EXPECT_EQ(manager->modelState(), to);
            const std::lock_guard lock(mutex);
            states.emplace_back(from, to);
        });
    }

    States reported() {
        const std::lock_guard lock(mutex);
        return std::exchange(states, {});
    }

    static std::string errorOf(const std::function<void()>& operation) {
        try {
            operation();
        } catch (const std::exception& error) {
            return error.what();
        }
        return "";
    }

    std::shared_ptr<RecordingLoader> loader;
    std::shared_ptr<ModelDownloader> downloader;
    std::unique_ptr<ModelManager> manager;
    WhisperModels* models = nullptr;
    std::mutex mutex;
    States states;
};

using S = ModelState;

TEST_F(ModelManagerTest, EachOperationReportsItsStatePairsInOrder) {
    struct Case {
        std::string label;
        std::optional<std::string> folder;
        std::function<void(ModelManager&, RecordingLoader&)> before;  // not reported
        std::function<void(ModelManager&)> operation;
        States pairs;
        std::string error;
        std::vector<std::string> calls;
    };
    const auto nothing = [](ModelManager&, RecordingLoader&) {};
    const auto load = [](ModelManager& m) { m.loadModels(); };
    const auto prewarm = [](ModelManager& m) { m.prewarmModels(); };
    const auto at = [](S state) { return [state](ModelManager& m, RecordingLoader&) { m.setModelState(state); }; };
    const auto download = [](ModelManager& m) { m.downloadModels(); };
    const auto unload = [](ModelManager& m) { m.unloadModels(); };
    const States fullLoad = {
        {S::unloaded, S::downloading}, {S::downloading, S::downloaded}, {S::downloaded, S::loading}, {S::loading, S::loaded}};
    const std::vector<Case> cases = {
        {"load after a download",
         std::nullopt,
         nothing,
         load,
         fullLoad,
         "",
         {"download", "load /models/fetched"}},
        {"prewarm from the loader's folder",
         "/models/own",
         nothing,
         prewarm,
         {{S::unloaded, S::downloaded}, {S::downloaded, S::prewarming}, {S::prewarming, S::prewarmed}},
         "",
         {"prewarm /models/own"}},
        {"load after a prewarm",
         "/models/own",
         [](ModelManager& m, RecordingLoader&) { m.prewarmModels(); },
         load,
         {{S::prewarmed, S::loading}, {S::loading, S::loaded}},
         "",
         {"prewarm /models/own", "load /models/own"}},
        {"unload",
         "/models/own",
         [](ModelManager& m, RecordingLoader&) { m.loadModels(); },
         unload,
         {{S::loaded, S::unloading}, {S::unloading, S::unloaded}},
         "",
         {"load /models/own", "unload"}},
        {"a failed download",
         std::nullopt,
         [](ModelManager&, RecordingLoader& l) { l.downloadFailure = "no network"; },
         load,
         {{S::unloaded, S::downloading}, {S::downloading, S::unloaded}},
         "no network",
         {"download"}},
        {"a failed load",
         "/models/own",
         [](ModelManager& m, RecordingLoader& l) {
             m.downloadModels();
             l.loadFailure = "bad model";
         },
         load,
         {{S::downloaded, S::loading}, {S::loading, S::unloaded}},
         "bad model",
         {"load /models/own"}},
        {"a failed prewarm",
         "/models/own",
         [](ModelManager&, RecordingLoader& l) { l.loadFailure = "bad model"; },
         prewarm,
         {{S::unloaded, S::downloaded}, {S::downloaded, S::prewarming}, {S::prewarming, S::unloaded}},
         "bad model",
         {"prewarm /models/own"}},
        {"prewarm once loaded", "/models/own", at(S::loaded), prewarm, {}, "Cannot prewarm in state: Loaded", {}},
        {"prewarm once prewarmed", "/models/own", at(S::prewarmed), prewarm, {}, "", {}},
        {"load while loading", "/models/own", at(S::loading), load, {}, "Cannot load in state: Loading", {}},
        {"load while prewarming", "/models/own", at(S::prewarming), load, {}, "Cannot load in state: Specializing", {}},
        {"load with no path at all",
         std::nullopt,
         at(S::loaded),
         load,
         {},
         "No model path available. Call downloadModels() first, or provide modelFolder.",
         {}},
        {"download while downloading", std::nullopt, at(S::downloading), download, {}, "", {}},
        {"download once loading", std::nullopt, at(S::loading), download, {}, "", {}},
        {"unload what is only downloaded", "/models/own", at(S::downloaded), unload, {}, "", {}},
        {"the same state again", std::nullopt, at(S::loaded), [](ModelManager& m) { m.setModelState(S::loaded); }, {}, "",
         {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        fresh();
        loader->folder = c.folder;
        c.before(*manager, *loader);
        reported();
        models->set();
        const std::vector<std::string> callsBefore = loader->calls();
        EXPECT_EQ(errorOf([&] { c.operation(*manager); }), c.error);
        // Every change goes through the setter a subclass may override.
        std::vector<ModelState> changes;
        for (const auto& pair : c.pairs) changes.push_back(pair.second);
        EXPECT_EQ(models->set(), changes);
        EXPECT_EQ(reported(), c.pairs);
        EXPECT_EQ(loader->calls(), c.calls) << callsBefore.size();
    }
}

TEST_F(ModelManagerTest, KeepsItsPathAndAvailabilityThroughTheStates) {
    loader->folder = "/models/own";
    manager->downloadModels();
    EXPECT_EQ(manager->modelPath()->path(), "/models/own");
    EXPECT_TRUE(manager->isAvailable());
    manager->unloadModels();
    EXPECT_TRUE(manager->isAvailable());
    manager->prewarmModels();
    EXPECT_FALSE(manager->isAvailable());
    manager->loadModels();
    EXPECT_TRUE(manager->isLoaded());
    manager->unloadModels();
    EXPECT_EQ(manager->modelPath()->path(), "/models/own") << "an unload keeps the path";
    manager->setModelState(S::loading);
    EXPECT_TRUE(manager->isAvailable());
    EXPECT_FALSE(manager->isLoaded());
}

TEST_F(ModelManagerTest, LogsUnderTheNameOfItsOwnClass) {
    std::vector<std::string> lines;
    std::mutex linesMutex;
    Logging::updateLogLevel(Logging::LogLevel::debug);
    Logging::updateCallback([&](const std::string& line) {
        const std::lock_guard lock(linesMutex);
        lines.push_back(line);
    });
    loader->downloadFailure = "no network";
    errorOf([&] { manager->loadModels(); });
    manager->loadModels();
    manager->downloadModels();
    Logging::updateLogLevel(Logging::LogLevel::none);
    Logging::updateCallback(nullptr);
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "[WhisperModels] Starting download process...",
                         "[WhisperModels] Failed to download models: no network",
                         "[WhisperModels] Starting download process...",
                         "[WhisperModels] Models downloaded to /models/fetched",
                         "[WhisperModels] Models loaded successfully",
                         "[WhisperModels] Models already downloaded (state: Loaded), skipping download",
                     }));
}

// Eight callers at once; the loader is held until all of them are waiting.
class ConcurrentCallers {
public:
    ConcurrentCallers(ModelManager& manager, RecordingLoader& loader) : manager_(manager) {
        loader.gate = release_.get_future().share();
    }

    void start(const std::function<void(ModelManager&)>& call) {
        for (int i = 0; i < 8; ++i) {
            threads_.emplace_back([this, call, i] {
                ++arrived_;
                std::exception_ptr thrown;
                const std::string error = errorOf(call, thrown);
                const std::lock_guard lock(mutex_);
                errors_[static_cast<std::size_t>(i)] = error;
                thrown_[static_cast<std::size_t>(i)] = thrown;
            });
        }
    }

    // Opens the gate once every caller has started and had time to reach
    // the run, then waits for all of them.
    std::vector<std::string> finish(RecordingLoader& loader) {
        while (arrived_ < 8 || loader.calls().empty()) std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        release_.set_value();
        for (auto& thread : threads_) thread.join();
        return errors_;
    }

    // What each caller caught, after finish().
    std::vector<std::exception_ptr> thrown() {
        const std::lock_guard lock(mutex_);
        return thrown_;
    }

private:
    std::string errorOf(const std::function<void(ModelManager&)>& call, std::exception_ptr& thrown) {
        try {
            call(manager_);
        } catch (const ModelDownloaderError& error) {
            thrown = std::current_exception();
            return std::string("unavailable: ") + error.what();
        } catch (const std::exception& error) {
            thrown = std::current_exception();
            return error.what();
        }
        return "";
    }

    ModelManager& manager_;
    std::promise<void> release_;
    std::atomic<int> arrived_{0};
    std::vector<std::thread> threads_;
    std::mutex mutex_;
    std::vector<std::string> errors_ = std::vector<std::string>(8);
    std::vector<std::exception_ptr> thrown_ = std::vector<std::exception_ptr>(8);
};

TEST_F(ModelManagerTest, ConcurrentCallersShareOneDownloadAndOneLoad) {
    ConcurrentCallers callers(*manager, *loader);
    callers.start([](ModelManager& m) { m.ensureModelsLoaded(); });
    EXPECT_EQ(callers.finish(*loader), std::vector<std::string>(8, ""));
    EXPECT_EQ(loader->calls(), (std::vector<std::string>{"download", "load /models/fetched"}));
    EXPECT_EQ(reported(), (States{{S::unloaded, S::downloading},
                                  {S::downloading, S::downloaded},
                                  {S::downloaded, S::loading},
                                  {S::loading, S::loaded}}));

    manager->ensureModelsLoaded();
    EXPECT_EQ(loader->calls().size(), 2u) << "a loaded manager starts no run";
}

TEST_F(ModelManagerTest, ConcurrentCallersShareAFailureAndTheNextCallStartsAnew) {
    loader->downloadFailure = "no network";
    ConcurrentCallers callers(*manager, *loader);
    callers.start([](ModelManager& m) { m.ensureModelsLoaded(); });
    EXPECT_EQ(callers.finish(*loader), std::vector<std::string>(8, "unavailable: no network"));
    EXPECT_EQ(loader->calls(), std::vector<std::string>{"download"});
    EXPECT_EQ(manager->modelState(), S::unloaded);

    manager->ensureModelsLoaded();
    EXPECT_EQ(loader->calls(), (std::vector<std::string>{"download", "download", "load /models/fetched"}));
    EXPECT_TRUE(manager->isLoaded());
}

// A loader's own error type, unknown to the manager.
class DamagedModelFile : public std::runtime_error {
public:
    DamagedModelFile() : std::runtime_error("weights are cut short") {}
    int offset = 4096;
};

TEST_F(ModelManagerTest, ConcurrentCallersAllGetTheVeryErrorTheRunThrew) {
    loader->fetch = [](const auto&) -> std::string { throw DamagedModelFile(); };
    ConcurrentCallers callers(*manager, *loader);
    callers.start([](ModelManager& m) { m.ensureModelsLoaded(); });
    EXPECT_EQ(callers.finish(*loader), std::vector<std::string>(8, "weights are cut short"));
    const std::vector<std::exception_ptr> thrown = callers.thrown();
    for (const auto& error : thrown) {
        EXPECT_EQ(error, thrown.front());
        try {
            std::rethrow_exception(error);
        } catch (const DamagedModelFile& damaged) {
            EXPECT_EQ(damaged.offset, 4096);
        } catch (...) {
            ADD_FAILURE() << "another type of error";
        }
    }
}

TEST_F(ModelManagerTest, DirectCallsAtOnceLoadOnlyOnce) {
    loader->folder = "/models/own";
    manager->downloadModels();
    reported();
    ConcurrentCallers callers(*manager, *loader);
    callers.start([](ModelManager& m) { m.loadModels(); });
    for (const auto& error : callers.finish(*loader)) {
        EXPECT_TRUE(error.empty() || error == "Cannot load in state: Loading") << error;
    }
    EXPECT_EQ(loader->calls(), std::vector<std::string>{"load /models/own"});
    EXPECT_EQ(reported(), (States{{S::downloaded, S::loading}, {S::loading, S::loaded}}));
}

// A loader that fetches through the downloader it is given, from a real hub.
class ModelManagerHubTest : public testing::HubTestEnvironment {};

TEST_F(ModelManagerHubTest, LoadsTheModelItsLoaderFetchedFromTheHub) {
    ::setenv("CI_DISABLE_NETWORK_MONITOR", "1", 1);
    for (const char* file : {"model.mil", "weights/weight.bin"}) {
        serve(std::string("whisper/v1/base/Model.mlmodelc/") + file, bytes(4096));
    }
    const ModelInfo info("v1", "base", "whisper", platform::MLComputeUnits::all);
    auto loader = std::make_shared<RecordingLoader>();
    std::vector<ModelState> downloaderStates;
    loader->fetch = [&](const std::shared_ptr<ModelDownloader>& downloader) {
        const auto model = downloader->resolveModel("Model", info, std::nullopt, std::nullopt, true,
                                                    [&](ModelState state) { downloaderStates.push_back(state); });
        return model.deletingLastPathComponent().path();
    };
    auto downloader = std::make_shared<ModelDownloader>(ModelDownloadConfig(
        cache().string(), repoId, std::nullopt, std::nullopt, false, server().endpoint(), "main"));
    ModelManager manager(loader, downloader);

    manager.ensureModelsLoaded();
    const std::string folder = (cache() / "models" / repoId / "whisper/v1/base").string();
    EXPECT_EQ(loader->calls(), (std::vector<std::string>{"download", "load " + folder}));
    EXPECT_EQ(downloaderStates, (std::vector<ModelState>{S::downloading, S::downloaded}));
    EXPECT_EQ(readFile(folder + "/Model.mlmodelc/weights/weight.bin"), bytes(4096));
}

}  // namespace
}  // namespace celvan

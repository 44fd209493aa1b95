#include "bench/BenchApplication.h"

#include <QCoreApplication>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <thread>

#include "app/dictation/OnDeviceTranscription.h"
#include "platform/concurrency/MainActor.h"
#include "platform/process/ChildProcess.h"
#include "platform/settings/UserDefaults.h"
#include "speech/engine/Sonoscribe.h"
#include "tests/support/SpeechModelRepository.h"

namespace benchsupport {
namespace {

constexpr const char* fetchFlag = "--fetch-model";
constexpr const char* engineRepository = sonoscribe::Sonoscribe::defaultModelRepository;

// A decoder of base.en's sizes that ends every window at once.
testsupport::ScriptedDecoder baseSizedDecoder() {
    testsupport::ScriptedDecoder decoder;
    decoder.dims = testsupport::TrioDimensions::baseEn();
    decoder.endToken = 50256;
    decoder.script = {50257, 50363, 50256};
    return decoder;
}

platform::URL cacheURL(const std::filesystem::path& folder) {
    return platform::URL::fileURLWithPath((folder / "cache").string(), true);
}

}  // namespace

std::optional<int> BenchApplication::fetchIfAsked(int argc, char** argv) {
    if (argc != 4 || std::string(argv[1]) != fetchFlag) return std::nullopt;
    try {
        sonoscribe::Sonoscribe::download(dictaro::AppDelegate::modelName, cacheURL(argv[3]), false, engineRepository,
                                         std::nullopt, argv[2]);
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "model fetch failed: %s\n", error.what());
        return 1;
    }
}

BenchApplication::BenchApplication(const std::string& program) {
    testsupport::writeModelRepository(folder_.path() / "hub" / "models" / engineRepository,
                                      {dictaro::AppDelegate::modelName}, baseSizedDecoder(),
                                      dictaro::AppDelegate::modelName);
    hub_ = std::make_unique<testsupport::TestHubServer>(folder_.path() / "hub");
    platform::ChildProcess::run({program, fetchFlag, hub_->endpoint(), folder_.path().string()});
}

BenchApplication::~BenchApplication() {
    if (delegate_) delegate_->applicationWillTerminate();
}

bool BenchApplication::launch() {
    auto defaults = std::make_shared<platform::UserDefaults>(folder_.path() / "settings.json");
    defaults->set("OnboardingShown", platform::JSONNumber::boolean(true));
    processor_ = std::make_shared<dictaro::DictaroAudioProcessor>();
    dictaro::AppDelegate::Services services;
    services.permissions = dictaro::PermissionAccess::system();
    services.permissions.microphone = [] { return dictaro::MicrophoneAuthorization::authorized; };
    services.permissions.accessibilityTrusted = [] { return true; };
    services.defaults = defaults;
    const dictaro::SonoscribeSpeechEngine::ModelSource source{hub_->endpoint(), cacheURL(folder_.path())};
    services.makeTranscription = [this, defaults, source](const std::string& modelName) {
        transcription_ = dictaro::makeOnDeviceTranscription(modelName, defaults, processor_, source);
        return transcription_;
    };
    services.audioLevels = [processor = processor_] { return processor->relativeEnergy(); };
    delegate_ = std::make_shared<dictaro::AppDelegate>(std::move(services));
    delegate_->applicationDidFinishLaunching();
    serveUntil([this] { return transcription_->status().kind != dictaro::TranscriptionStatus::Kind::loading; },
               std::chrono::minutes(2));
    return transcription_->status() == dictaro::TranscriptionStatus::ready();
}

MicrophoneFeed::MicrophoneFeed() {
    const char* fifo = std::getenv("DICTARO_PULSE_MIC_FIFO");
    if (!fifo) {
        std::fprintf(stderr,
                     "no microphone feed: DICTARO_PULSE_MIC_FIFO is not set (run under scripts/with-services)\n");
        return;
    }
    // The sound server holds the reading end: without one, opening fails at once.
    const int out = ::open(fifo, O_WRONLY | O_NONBLOCK);
    if (out < 0) {
        std::fprintf(stderr, "no microphone feed: cannot open %s\n", fifo);
        return;
    }
    ::fcntl(out, F_SETFL, 0);
    writer_ = std::thread([this, out] {
        // 10 ms of 48 kHz stereo 16-bit noise per write, paced by the clock.
        std::vector<int16_t> chunk(480 * 2);
        uint32_t seed = 1;
        auto due = std::chrono::steady_clock::now();
        while (!stopping_) {
            for (int16_t& sample : chunk) {
                seed = seed * 1664525u + 1013904223u;
                sample = static_cast<int16_t>(static_cast<int32_t>(seed >> 16) % 200 - 100);
            }
            if (::write(out, chunk.data(), chunk.size() * sizeof(int16_t)) < 0) break;
            due += std::chrono::milliseconds(10);
            std::this_thread::sleep_until(due);
        }
        ::close(out);
    });
}

MicrophoneFeed::~MicrophoneFeed() {
    stopping_ = true;
    if (writer_.joinable()) writer_.join();
}

bool serveUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        platform::MainActor::drain();
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        if (done()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::yield();
    }
}

}  // namespace benchsupport

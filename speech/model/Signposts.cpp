#include "speech/model/Signposts.h"

namespace sonoscribe {
namespace {

constexpr const char* kSubsystem = "com.celvan.sonoscribe";

}  // namespace

const platform::log::Logger& Logging::AudioEncoding::logger() {
    static const platform::log::Logger instance(kSubsystem, "AudioEncoding");
    return instance;
}

platform::log::Signposter& Logging::AudioEncoding::signposter() {
    static platform::log::Signposter instance(logger());
    return instance;
}

const platform::log::Logger& Logging::FeatureExtractor::logger() {
    static const platform::log::Logger instance(kSubsystem, "FeatureExtractor");
    return instance;
}

platform::log::Signposter& Logging::FeatureExtractor::signposter() {
    static platform::log::Signposter instance(logger());
    return instance;
}

const platform::log::Logger& Logging::TranscribeTask::logger() {
    static const platform::log::Logger instance(kSubsystem, "TranscribeTask");
    return instance;
}

platform::log::Signposter& Logging::TranscribeTask::signposter() {
    static platform::log::Signposter instance(logger());
    return instance;
}

platform::log::SignpostIntervalState Logging::beginSignpost(std::string_view name,
                                                            platform::log::Signposter& signposter) {
    return signposter.beginInterval(name, signposter.makeSignpostID());
}

void Logging::endSignpost(std::string_view name, const platform::log::SignpostIntervalState& interval,
                          platform::log::Signposter& signposter) {
    signposter.endInterval(name, interval);
}

}  // namespace sonoscribe

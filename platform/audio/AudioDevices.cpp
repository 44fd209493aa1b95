#include "platform/audio/AudioDevices.h"

#include <map>
#include <mutex>

#include <pulse/pulseaudio.h>

#include "platform/audio/PulseConnection.h"

namespace platform::audio {

namespace {

struct Registry {
    std::mutex mutex;
    std::map<std::string, uint32_t> ids;
    std::vector<std::string> names;
};

Registry& registry() {
    static Registry instance;
    return instance;
}

struct Listing {
    pa_threaded_mainloop* mainloop;
    std::vector<InputSource> sources;
};

}  // namespace

uint32_t deviceID(const std::string& pulseName) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    auto [at, added] = r.ids.try_emplace(pulseName, static_cast<uint32_t>(r.names.size() + 1));
    if (added) r.names.push_back(pulseName);
    return at->second;
}

std::optional<std::string> pulseName(uint32_t id) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    if (id == 0 || id > r.names.size()) return std::nullopt;
    return r.names[id - 1];
}

std::optional<std::vector<InputSource>> listInputSources() {
    PulseConnection connection("Dictaro devices");
    if (!connection.isConnected()) return std::nullopt;
    Listing listing{connection.mainloop(), {}};
    {
        PulseLock lock(connection);
        connection.wait(pa_context_get_source_info_list(
            connection.context(),
            [](pa_context*, const pa_source_info* info, int, void* data) {
                auto* listing = static_cast<Listing*>(data);
                if (info != nullptr && info->monitor_of_sink == PA_INVALID_INDEX) {
                    listing->sources.push_back({0, info->name, info->description ? info->description : "",
                                                info->sample_spec.channels, static_cast<double>(info->sample_spec.rate)});
                }
                pa_threaded_mainloop_signal(listing->mainloop, 0);
            },
            &listing));
    }
    for (InputSource& source : listing.sources) source.id = deviceID(source.pulseName);
    return listing.sources;
}

}  // namespace platform::audio

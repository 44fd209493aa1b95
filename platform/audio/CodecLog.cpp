#include "platform/audio/CodecLog.h"

#include <cstdarg>
#include <memory>
#include <mutex>
#include <string>

extern "C" {
#include <libavutil/log.h>
}

namespace platform::audio {

namespace {

using Handler = std::function<void(std::string_view)>;

std::mutex handlerMutex;
std::shared_ptr<const Handler> currentHandler;

std::shared_ptr<const Handler> handler() {
    const std::lock_guard lock(handlerMutex);
    return currentHandler;
}

void forward(void* context, int level, const char* format, va_list arguments) {
    if (level > AV_LOG_INFO) return;
    const std::shared_ptr<const Handler> to = handler();
    if (!to) return;
    char line[1024];
    // Each call is one message; the prefix names the codec or container.
    int printPrefix = 1;
    av_log_format_line2(context, level, format, arguments, line, sizeof line, &printPrefix);
    std::string_view text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
    if (!text.empty()) (*to)(text);
}

}  // namespace

void setCodecLogHandler(Handler handler) {
    routeCodecLog();
    const std::lock_guard lock(handlerMutex);
    currentHandler = handler ? std::make_shared<const Handler>(std::move(handler)) : nullptr;
}

void routeCodecLog() {
    static std::once_flag routed;
    std::call_once(routed, [] { av_log_set_callback(forward); });
}

}  // namespace platform::audio

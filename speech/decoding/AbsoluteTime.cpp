#include "speech/decoding/AbsoluteTime.h"

#include <chrono>

namespace sonoscribe {

double currentAbsoluteTime() {
    constexpr double secondsFrom1970To2001 = 978307200.0;
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration<double>(now).count() - secondsFrom1970To2001;
}

}  // namespace sonoscribe

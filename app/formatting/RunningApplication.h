#pragma once

#include "platform/x11/RunningApplication.h"

namespace dictaro {

// An application on the desktop, as the focus tracker captured it.
using RunningApplication = platform::RunningApplication;

}  // namespace dictaro

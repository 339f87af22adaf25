#pragma once

// The operating system as the bridges see it. Each platform folder (and the tests' fake)
// defines systemPlatform(); CMake links exactly one.

#include "platform/microphone.h"
#include "platform/process_services.h"
#include "platform/screen_capture.h"

namespace quorvia::platform {

struct Platform {
    ProcessServices& process;
    MicrophoneCapture& microphone;
    ScreenCapture& screenCapture;
};

// Built on first use, on the main thread, before any capture work; lives until the process ends.
Platform systemPlatform();

}  // namespace quorvia::platform

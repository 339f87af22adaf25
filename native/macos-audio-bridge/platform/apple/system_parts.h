#pragma once

#import <Foundation/Foundation.h>

#include "platform/microphone.h"
#include "platform/screen_capture.h"

namespace quorvia::platform::apple {

// Each made on first use and never destroyed: callbacks may arrive until the process ends.
MicrophoneCapture& avFoundationMicrophone();
ScreenCapture& screenCaptureKitCapture() API_AVAILABLE(macos(13.0));

}  // namespace quorvia::platform::apple

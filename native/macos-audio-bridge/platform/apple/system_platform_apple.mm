#include "platform/platform.h"
#include "platform/apple/system_parts.h"

namespace quorvia::platform {

Platform systemPlatform() {
    return Platform{.process = systemProcessServices(),
                    .microphone = apple::avFoundationMicrophone(),
                    .screenCapture = apple::screenCaptureKitCapture()};
}

}  // namespace quorvia::platform

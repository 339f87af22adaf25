// The Linux platform: process services from the C++ runtime and POSIX, capture over PipeWire.

#include "platform/linux/pipewire_connection.h"
#include "platform/linux/pipewire_microphone.h"
#include "platform/linux/pipewire_screen_capture.h"
#include "platform/platform.h"

namespace quorvia::platform {

Platform systemPlatform() {
    // Never destroyed: the PipeWire loop thread and the queues may still run while the process
    // ends. Nothing connects to the server before a bridge asks.
    static auto* const microphone = new pipewire::PipeWireMicrophone(pipewire::Connection::shared());
    static auto* const screenCapture = new pipewire::PipeWireScreenCapture(pipewire::Connection::shared());
    return Platform{systemProcessServices(), *microphone, *screenCapture};
}

}  // namespace quorvia::platform

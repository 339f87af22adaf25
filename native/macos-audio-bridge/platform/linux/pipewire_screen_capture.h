#pragma once

// System audio over PipeWire, in ScreenCaptureKit's shape. There is no video on Linux: the
// "displays" are the audio sinks (the default first), the "running applications" are the
// clients that play audio, and the stream is a capture pw_stream that links itself to the
// output ports of every application playback stream except the excluded ones, including
// playback streams that start later.

#include "platform/linux/pipewire_connection.h"
#include "platform/screen_capture.h"

namespace quorvia::platform::pipewire {

class PipeWireScreenCapture final : public ScreenCapture {
public:
    explicit PipeWireScreenCapture(Connection& connection) : connection_(connection) {}

    void getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                             ShareableContentCompletion completion) override;
    std::shared_ptr<ContentFilter> makeContentFilter(
        const std::shared_ptr<Display>& display,
        const std::vector<std::shared_ptr<RunningApplication>>& excludedApplications) override;
    std::shared_ptr<StreamConfiguration> makeStreamConfiguration() override;
    std::shared_ptr<Stream> makeStream(const std::shared_ptr<ContentFilter>& filter,
                                       const std::shared_ptr<StreamConfiguration>& configuration,
                                       StreamDelegate* delegate) override;

private:
    Connection& connection_;
};

}  // namespace quorvia::platform::pipewire

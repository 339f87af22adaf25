#pragma once

// The screen-capture operations of the interviewer bridge, in ScreenCaptureKit's terms.
// Abstract so the bridge runs on ScreenCaptureKit, on PipeWire and on a fake in tests.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/capture_error.h"
#include "platform/process_services.h"
#include "platform/sample_buffer.h"

namespace quorvia::platform {

// SCStreamOutputType values.
inline constexpr std::int64_t kStreamOutputTypeScreen = 0;
inline constexpr std::int64_t kStreamOutputTypeAudio = 1;

class Display {
public:
    virtual ~Display() = default;
};

class RunningApplication {
public:
    virtual ~RunningApplication() = default;
    virtual std::string bundleIdentifier() const = 0;  // UTF-8
};

struct ShareableContent {
    std::vector<std::shared_ptr<Display>> displays;  // in the platform's order
    std::vector<std::shared_ptr<RunningApplication>> applications;
};

class ContentFilter {
public:
    virtual ~ContentFilter() = default;
};

class StreamConfiguration {
public:
    virtual ~StreamConfiguration() = default;
    virtual void setWidth(std::int64_t pixels) = 0;
    virtual void setHeight(std::int64_t pixels) = 0;
    virtual void setMinimumFrameInterval(std::int64_t value, std::int32_t timescale) = 0;
    virtual void setShowsCursor(bool shows) = 0;
    virtual void setCapturesAudio(bool captures) = 0;
    virtual void setSampleRate(std::int64_t hertz) = 0;
    virtual void setChannelCount(std::int64_t channels) = 0;
    virtual void setQueueDepth(std::int64_t depth) = 0;
    // respondsToSelector: "setExcludesCurrentProcessAudio:"
    virtual bool respondsToSetExcludesCurrentProcessAudio() const = 0;
    // setValue:forKey: "excludesCurrentProcessAudio"
    virtual void setExcludesCurrentProcessAudio(bool excludes) = 0;
};

// Receives the stream's sample buffers on the queue it was registered with.
class StreamOutput {
public:
    virtual void streamDidOutputSampleBuffer(const SampleBuffer& sampleBuffer,
                                             std::int64_t outputType) = 0;

protected:
    ~StreamOutput() = default;
};

// Told when the platform stops a running stream by itself (display asleep, permission withdrawn,
// audio server gone). Not told about a stop that stopCapture asked for.
class StreamDelegate {
public:
    virtual void streamDidStopWithError(const CaptureError& error) = 0;

protected:
    ~StreamDelegate() = default;
};

using CaptureCompletion = std::function<void(std::optional<CaptureError>)>;

class Stream {
public:
    virtual ~Stream() = default;
    // The output must outlive the stream; it is called on `queue`, one buffer at a time.
    virtual std::optional<CaptureError> addStreamOutput(StreamOutput& output,
                                                        std::int64_t outputType,
                                                        std::shared_ptr<SerialQueue> queue) = 0;
    // Each completion runs exactly once, on a platform thread.
    virtual void startCapture(CaptureCompletion completion) = 0;
    virtual void stopCapture(CaptureCompletion completion) = 0;
};

// Exactly one of the two is set.
using ShareableContentCompletion =
    std::function<void(std::shared_ptr<ShareableContent>, std::optional<CaptureError>)>;

class ScreenCapture {
public:
    virtual ~ScreenCapture() = default;

    // The completion runs exactly once, on a platform thread.
    virtual void getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                                     ShareableContentCompletion completion) = 0;
    // Excepting no windows.
    virtual std::shared_ptr<ContentFilter> makeContentFilter(
        const std::shared_ptr<Display>& display,
        const std::vector<std::shared_ptr<RunningApplication>>& excludedApplications) = 0;
    virtual std::shared_ptr<StreamConfiguration> makeStreamConfiguration() = 0;
    // The delegate may be null; when set it must outlive the stream.
    virtual std::shared_ptr<Stream> makeStream(const std::shared_ptr<ContentFilter>& filter,
                                               const std::shared_ptr<StreamConfiguration>& configuration,
                                               StreamDelegate* delegate) = 0;
};

}  // namespace quorvia::platform

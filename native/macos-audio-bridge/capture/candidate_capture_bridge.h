#pragma once

// Mode "candidate": the default microphone as "pcm" lines.

#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include "capture/process_ending.h"
#include "capture/signal_shutdown.h"
#include "platform/platform.h"

namespace quorvia {

class CandidateCaptureBridge final : public platform::AudioSampleBufferDelegate,
                                     public std::enable_shared_from_this<CandidateCaptureBridge> {
public:
    // Touches no device and asks for no permission.
    static std::shared_ptr<CandidateCaptureBridge> make(platform::Platform platform);

    // Main thread. Throws CaptureError; on success ends in the main loop and returns only if
    // that loop does.
    void start();

    // Output queue.
    void captureOutput(const platform::SampleBuffer& sampleBuffer) override;

    explicit CandidateCaptureBridge(platform::Platform platform);

private:
    void installSignalHandlers();
    void shutdown();
    void captureEnded(std::optional<CaptureError> error);

    platform::Platform platform_;
    // Fields in construction order; none is replaced afterwards.
    std::unique_ptr<platform::CaptureSession> session;
    std::shared_ptr<platform::SerialQueue> outputQueue;
    const std::string source = "candidate";  // read by every thread; never changes
    SignalSources signalSources;              // main thread only
    ProcessEnding ending_;                    // any thread
    std::atomic<bool> stopRequested_{false};  // set on the main thread, read by platform threads
};

// Runs mode "candidate": one error line and status 78 on a failure to start.
void runCandidateMode(platform::Platform platform);

}  // namespace quorvia

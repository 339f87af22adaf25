#pragma once

// Mode "interviewer": the sound the machine plays, minus the host's own, as "pcm" lines.

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "capture/process_ending.h"
#include "capture/signal_shutdown.h"
#include "platform/platform.h"

namespace quorvia {

// The applications whose bundle identifier is `hostBundleIdentifier` as Unicode text, in order.
std::vector<std::shared_ptr<platform::RunningApplication>> applicationsToExclude(
    const std::vector<std::shared_ptr<platform::RunningApplication>>& applications,
    std::string_view hostBundleIdentifier);

class InterviewerCaptureBridge final : public platform::StreamOutput,
                                       public platform::StreamDelegate,
                                       public std::enable_shared_from_this<InterviewerCaptureBridge> {
public:
    static std::shared_ptr<InterviewerCaptureBridge> make(platform::Platform platform);

    // Main thread. Launches the start task and runs the main loop; failures are the start task's
    // to report. Returns only if the main loop does.
    void start();

    // Output queue.
    void streamDidOutputSampleBuffer(const platform::SampleBuffer& sampleBuffer, std::int64_t outputType) override;
    // Any thread.
    void streamDidStopWithError(const CaptureError& error) override;

    explicit InterviewerCaptureBridge(platform::Platform platform);

private:
    void installSignalHandlers();
    void shutdownAction();
    void stopAndExit(int code);
    void runStartTask();
    void runStopTask(int code);
    void exitWith(int code);
    void reportFailure(const CaptureError& error);
    std::shared_ptr<platform::Stream> currentStream();

    platform::Platform platform_;
    const std::string source = "interviewer";  // read by every thread; never changes
    // Written once by the start task, read by stop tasks on other threads.
    std::shared_ptr<platform::Stream> stream;  // guarded by streamMutex_
    std::mutex streamMutex_;
    std::shared_ptr<platform::SerialQueue> outputQueue;
    SignalSources signalSources;  // main thread only
    ProcessEnding ending_;        // any thread
    std::atomic<bool> stopRequested_{false};  // set on the main thread, read by any thread
};

// Runs mode "interviewer".
void runInterviewerMode(platform::Platform platform);

}  // namespace quorvia

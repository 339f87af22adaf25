#include "capture/interviewer_capture_bridge.h"

#include <optional>
#include <variant>

#include "app_identity.h"
#include "audio/pcm_conversion.h"
#include "capture/bridge_error.h"
#include "capture/one_shot.h"
#include "capture/unicode_equivalence.h"
#include "protocol/base64.h"
#include "protocol/emit.h"

namespace quorvia {
namespace {

using ContentOrError = std::variant<std::shared_ptr<platform::ShareableContent>, CaptureError>;

}  // namespace

std::vector<std::shared_ptr<platform::RunningApplication>> applicationsToExclude(
    const std::vector<std::shared_ptr<platform::RunningApplication>>& applications,
    std::string_view hostBundleIdentifier) {
    std::vector<std::shared_ptr<platform::RunningApplication>> excluded;
    for (const auto& application : applications) {
        if (application && unicodeCanonicallyEqual(application->bundleIdentifier(), hostBundleIdentifier)) {
            excluded.push_back(application);
        }
    }
    return excluded;
}

std::shared_ptr<InterviewerCaptureBridge> InterviewerCaptureBridge::make(platform::Platform platform) {
    return std::make_shared<InterviewerCaptureBridge>(platform);
}

InterviewerCaptureBridge::InterviewerCaptureBridge(platform::Platform platform)
    : platform_(platform),
      outputQueue(platform.process.makeSerialQueue(std::string(quorviaAppBundleIdentifier) +
                                                    ".screencapture.audio")) {}

void InterviewerCaptureBridge::start() {
    installSignalHandlers();
    platform_.process.launchTask([self = shared_from_this()] { self->runStartTask(); });
    platform_.process.runMainLoop();
}

void InterviewerCaptureBridge::runStartTask() {
    auto& screenCapture = platform_.screenCapture;

    auto contentAnswer = OneShot<ContentOrError>::make();
    screenCapture.getShareableContent(
        false, true, [contentAnswer](std::shared_ptr<platform::ShareableContent> content, std::optional<CaptureError> error) {
            if (error) {
                contentAnswer->resume(std::move(*error));
            } else if (content) {
                contentAnswer->resume(std::move(content));
            } else {
                // Neither content nor error breaks the platform's contract; don't wait forever.
                contentAnswer->resume(bridgeError(202, "shareable_content_unavailable"));
            }
        });
    const auto contentOrError = contentAnswer->wait();
    if (const auto* error = std::get_if<CaptureError>(&contentOrError)) {
        return reportFailure(*error);
    }
    const auto& content = *std::get<std::shared_ptr<platform::ShareableContent>>(contentOrError);
    if (content.displays.empty() || !content.displays.front()) {
        return reportFailure(bridgeError(201, "no_display_available_for_screen_capture"));
    }

    const auto excluded = applicationsToExclude(content.applications, quorviaAppBundleIdentifier);
    const auto filter = screenCapture.makeContentFilter(content.displays.front(), excluded);

    // Only audio is wanted; the video side is kept as small and slow as the service allows.
    const auto configuration = screenCapture.makeStreamConfiguration();
    configuration->setWidth(2);
    configuration->setHeight(2);
    configuration->setMinimumFrameInterval(1, 30);
    configuration->setShowsCursor(false);
    configuration->setCapturesAudio(true);
    configuration->setSampleRate(24000);
    configuration->setChannelCount(1);
    configuration->setQueueDepth(3);
    if (configuration->respondsToSetExcludesCurrentProcessAudio()) {
        configuration->setExcludesCurrentProcessAudio(true);
    }

    const auto newStream = screenCapture.makeStream(filter, configuration, this);
    {
        std::lock_guard lock(streamMutex_);
        stream = newStream;
    }
    if (const auto error = newStream->addStreamOutput(*this, platform::kStreamOutputTypeAudio, outputQueue)) {
        return reportFailure(*error);
    }

    auto started = OneShot<std::optional<CaptureError>>::make();
    newStream->startCapture([started](std::optional<CaptureError> error) { started->resume(std::move(error)); });
    if (const auto error = started->wait()) {
        return reportFailure(*error);
    }

    // A stream that already ended, or a process already on its way out, must not look started.
    if (!ending_.claimed()) {
        emit(ModeMessage{.source = source,
                         .message = "interviewer_capture_started",
                         .dualChannel = true,
                         .native = true});
    }
}

void InterviewerCaptureBridge::reportFailure(const CaptureError& error) {
    if (!ending_.claim(kExitCaptureFailed)) {
        return;  // another task is ending the process already
    }
    emit(ErrorMessage{.source = source, .message = error.localizedDescription, .native = true});
    platform_.process.exit(kExitCaptureFailed);
}

void InterviewerCaptureBridge::streamDidOutputSampleBuffer(const platform::SampleBuffer& sampleBuffer,
                                                          std::int64_t outputType) {
    if (outputType != platform::kStreamOutputTypeAudio) {
        return;
    }
    const auto pcm = sampleBufferPCMData(sampleBuffer);
    if (!pcm) {
        return;
    }
    emit(PcmMessage{.source = source, .pcmBase64 = base64Encode(*pcm)});
}

void InterviewerCaptureBridge::streamDidStopWithError(const CaptureError& error) {
    // The end of a stream we were asked to stop is no failure.
    if (!stopRequested_.load()) {
        reportFailure(error);
    }
}

void InterviewerCaptureBridge::installSignalHandlers() {
    signalSources = makeShutdownSignalSources(platform_.process, shared_from_this(),
                                              &InterviewerCaptureBridge::shutdownAction);
}

void InterviewerCaptureBridge::shutdownAction() { stopAndExit(0); }

void InterviewerCaptureBridge::stopAndExit(int code) {
    stopRequested_.store(true);
    platform_.process.launchTask([self = shared_from_this(), code] { self->runStopTask(code); });
}

std::shared_ptr<platform::Stream> InterviewerCaptureBridge::currentStream() {
    std::lock_guard lock(streamMutex_);
    return stream;
}

void InterviewerCaptureBridge::runStopTask(int code) {
    if (const auto streamToStop = currentStream()) {
        auto stopped = OneShot<std::optional<CaptureError>>::make();
        streamToStop->stopCapture([stopped](std::optional<CaptureError> error) { stopped->resume(std::move(error)); });
        // An error from the stop changes nothing: the host asked for the end.
        stopped->wait();
    }
    exitWith(code);
}

void InterviewerCaptureBridge::exitWith(int code) {
    if (!ending_.claim(code)) {
        // A failure reported first ends the process with its own status.
        platform_.process.exit(ending_.status());
    }
    platform_.process.exit(code);
}

void runInterviewerMode(platform::Platform platform) {
    const auto bridge = InterviewerCaptureBridge::make(platform);
    bridge->start();
}

}  // namespace quorvia

#include "capture/candidate_capture_bridge.h"

#include "app_identity.h"
#include "audio/pcm_conversion.h"
#include "capture/bridge_error.h"
#include "capture/one_shot.h"
#include "protocol/base64.h"
#include "protocol/emit.h"

namespace quorvia {

std::shared_ptr<CandidateCaptureBridge> CandidateCaptureBridge::make(platform::Platform platform) {
    return std::make_shared<CandidateCaptureBridge>(platform);
}

CandidateCaptureBridge::CandidateCaptureBridge(platform::Platform platform)
    : platform_(platform),
      session(platform.microphone.makeCaptureSession()),
      outputQueue(platform.process.makeSerialQueue(std::string(quorviaAppBundleIdentifier) +
                                                    ".avfoundation.candidate")) {}

void CandidateCaptureBridge::start() {
    installSignalHandlers();

    auto& microphone = platform_.microphone;
    const std::int64_t status = microphone.authorizationStatusForAudio();
    if (status == platform::kAuthorizationStatusRestricted || status == platform::kAuthorizationStatusDenied) {
        throw bridgeError(102, "microphone_permission_denied");
    }
    if (status == platform::kAuthorizationStatusNotDetermined) {
        // Signals that arrive meanwhile are handled once the main loop runs.
        auto answer = OneShot<bool>::make();
        microphone.requestAccessForAudio([answer](bool granted) { answer->resume(granted); });
        if (!answer->wait()) {
            throw bridgeError(101, "microphone_permission_denied");
        }
    }

    const auto device = microphone.defaultAudioDevice();
    if (!device) {
        throw bridgeError(103, "microphone_device_unavailable");
    }
    auto inputOrError = microphone.makeDeviceInput(device);
    if (auto* error = std::get_if<CaptureError>(&inputOrError)) {
        throw *error;
    }
    auto input = std::get<std::shared_ptr<platform::AudioDeviceInput>>(std::move(inputOrError));
    if (!session->canAddInput(*input)) {
        throw bridgeError(104, "microphone_input_attach_failed");
    }

    auto output = microphone.makeAudioDataOutput();
    platform::AudioSettings settings;
    settings.formatID = platform::kAudioFormatLinearPCM;
    settings.sampleRate = 24000;
    settings.numberOfChannels = 1;
    settings.linearPCMBitDepth = 16;
    settings.linearPCMIsFloat = false;
    settings.linearPCMIsBigEndian = false;
    settings.linearPCMIsNonInterleaved = false;
    output->setAudioSettings(settings);
    output->setSampleBufferDelegate(this, outputQueue);
    // Checked before any change, so a refused output leaves the session untouched.
    if (!session->canAddOutput(*output)) {
        throw bridgeError(105, "microphone_output_attach_failed");
    }

    session->beginConfiguration();
    session->addInput(std::move(input));
    session->addOutput(std::move(output));
    session->commitConfiguration();
    std::weak_ptr<CandidateCaptureBridge> weakSelf = weak_from_this();
    session->setCaptureEndedHandler([weakSelf](std::optional<CaptureError> error) {
        if (const auto self = weakSelf.lock()) {
            self->captureEnded(std::move(error));
        }
    });
    session->startRunning();

    // A capture that already ended is being reported; it must not also look started.
    if (!ending_.claimed()) {
        emit(ModeMessage{.source = source,
                         .message = "candidate_capture_started",
                         .dualChannel = false,
                         .native = true});
    }
    platform_.process.runMainLoop();
}

void CandidateCaptureBridge::captureOutput(const platform::SampleBuffer& sampleBuffer) {
    const auto pcm = sampleBufferPCMData(sampleBuffer);
    if (!pcm) {
        return;
    }
    emit(PcmMessage{.source = source, .pcmBase64 = base64Encode(*pcm)});
}

void CandidateCaptureBridge::installSignalHandlers() {
    signalSources = makeShutdownSignalSources(platform_.process, shared_from_this(), &CandidateCaptureBridge::shutdown);
}

void CandidateCaptureBridge::shutdown() {
    stopRequested_.store(true);
    session->stopRunning();
    if (!ending_.claim(0)) {
        // A failure reported before the stop ends the process with its own status.
        platform_.process.exit(ending_.status());
    }
    platform_.process.exit(0);
}

void CandidateCaptureBridge::captureEnded(std::optional<CaptureError> error) {
    // The end of a capture we were asked to stop is no failure.
    if (stopRequested_.load() || !ending_.claim(kExitCaptureFailed)) {
        return;
    }
    emit(ErrorMessage{.source = source,
                      .message = error ? error->localizedDescription : "microphone_device_disconnected",
                      .native = true});
    platform_.process.exit(kExitCaptureFailed);
}

void runCandidateMode(platform::Platform platform) {
    const auto bridge = CandidateCaptureBridge::make(platform);
    try {
        bridge->start();
    } catch (const CaptureError& error) {
        emit(ErrorMessage{.source = "candidate", .message = error.localizedDescription, .native = true});
        platform.process.exit(kExitCaptureFailed);
    }
}

}  // namespace quorvia

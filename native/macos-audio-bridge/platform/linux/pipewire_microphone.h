#pragma once

// The microphone over PipeWire: a capture stream that the session manager links to the
// default source.
//
// How AVFoundation's steps map: the device is "connected, and a default source exists"; the
// device input is the (not yet connected) capture stream; startRunning() connects it with the
// output's format and returns once it streams. Plain Linux has no microphone permission, so
// access is always granted.

#include "platform/linux/pipewire_connection.h"
#include "platform/microphone.h"

namespace quorvia::platform::pipewire {

class PipeWireMicrophone final : public MicrophoneCapture {
public:
    explicit PipeWireMicrophone(Connection& connection) : connection_(connection) {}

    std::unique_ptr<CaptureSession> makeCaptureSession() override;
    std::int64_t authorizationStatusForAudio() override { return kAuthorizationStatusAuthorized; }
    void requestAccessForAudio(std::function<void(bool granted)> completion) override { completion(true); }
    // Null when the server cannot be reached or names no default source.
    std::shared_ptr<AudioCaptureDevice> defaultAudioDevice() override;
    std::variant<std::shared_ptr<AudioDeviceInput>, CaptureError> makeDeviceInput(
        const std::shared_ptr<AudioCaptureDevice>& device) override;
    std::shared_ptr<AudioDataOutput> makeAudioDataOutput() override;

private:
    Connection& connection_;
};

}  // namespace quorvia::platform::pipewire

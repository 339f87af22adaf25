#pragma once

// The microphone operations of the candidate bridge, in AVFoundation's terms. Abstract so the
// bridge runs on AVFoundation, on PipeWire and on a fake in tests.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <variant>

#include "platform/capture_error.h"
#include "platform/process_services.h"
#include "platform/sample_buffer.h"

namespace quorvia::platform {

// AVAuthorizationStatus values. Other values may come from a newer system.
inline constexpr std::int64_t kAuthorizationStatusNotDetermined = 0;
inline constexpr std::int64_t kAuthorizationStatusRestricted = 1;
inline constexpr std::int64_t kAuthorizationStatusDenied = 2;
inline constexpr std::int64_t kAuthorizationStatusAuthorized = 3;

inline constexpr std::uint32_t kAudioFormatLinearPCM = 0x6C70636D;  // 'lpcm'

// The seven audio settings of an audio data output, in the order they are given.
struct AudioSettings {
    std::uint32_t formatID = kAudioFormatLinearPCM;  // AVFormatIDKey
    std::int64_t sampleRate = 0;                     // AVSampleRateKey
    std::int64_t numberOfChannels = 0;               // AVNumberOfChannelsKey
    std::int64_t linearPCMBitDepth = 0;              // AVLinearPCMBitDepthKey
    bool linearPCMIsFloat = false;                   // AVLinearPCMIsFloatKey
    bool linearPCMIsBigEndian = false;               // AVLinearPCMIsBigEndianKey
    bool linearPCMIsNonInterleaved = false;          // AVLinearPCMIsNonInterleaved
};

class AudioCaptureDevice {
public:
    virtual ~AudioCaptureDevice() = default;
};

class AudioDeviceInput {
public:
    virtual ~AudioDeviceInput() = default;
};

// Receives every sample buffer of an audio data output, on the queue given with it.
class AudioSampleBufferDelegate {
public:
    virtual void captureOutput(const SampleBuffer& sampleBuffer) = 0;

protected:
    ~AudioSampleBufferDelegate() = default;
};

class AudioDataOutput {
public:
    virtual ~AudioDataOutput() = default;
    virtual void setAudioSettings(const AudioSettings& settings) = 0;
    // The delegate must outlive the output; it is called on `queue`, one buffer at a time.
    virtual void setSampleBufferDelegate(AudioSampleBufferDelegate* delegate,
                                         std::shared_ptr<SerialQueue> queue) = 0;
};

// Called when the platform ends a running capture by itself: with its error, or with nullopt
// when it gives no text (a device that went away). May come on any thread, more than once.
using CaptureEndedHandler = std::function<void(std::optional<CaptureError>)>;

class CaptureSession {
public:
    virtual ~CaptureSession() = default;
    virtual bool canAddInput(const AudioDeviceInput& input) = 0;
    virtual bool canAddOutput(const AudioDataOutput& output) = 0;
    virtual void beginConfiguration() = 0;
    virtual void addInput(std::shared_ptr<AudioDeviceInput> input) = 0;
    virtual void addOutput(std::shared_ptr<AudioDataOutput> output) = 0;
    virtual void commitConfiguration() = 0;
    // Both return when done.
    virtual void startRunning() = 0;
    virtual void stopRunning() = 0;
    // Set before startRunning(); observes the session and the device in use.
    virtual void setCaptureEndedHandler(CaptureEndedHandler handler) = 0;
};

class MicrophoneCapture {
public:
    virtual ~MicrophoneCapture() = default;

    virtual std::unique_ptr<CaptureSession> makeCaptureSession() = 0;
    virtual std::int64_t authorizationStatusForAudio() = 0;
    // Calls `completion` once, on a thread of the platform's choosing: true for a grant.
    virtual void requestAccessForAudio(std::function<void(bool granted)> completion) = 0;
    // Null when there is no default audio capture device.
    virtual std::shared_ptr<AudioCaptureDevice> defaultAudioDevice() = 0;
    virtual std::variant<std::shared_ptr<AudioDeviceInput>, CaptureError> makeDeviceInput(
        const std::shared_ptr<AudioCaptureDevice>& device) = 0;
    virtual std::shared_ptr<AudioDataOutput> makeAudioDataOutput() = 0;
};

}  // namespace quorvia::platform

// The candidate bridge's microphone on AVFoundation.

#import <AVFoundation/AVFoundation.h>
#import <Foundation/Foundation.h>

#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <variant>
#include <vector>

#include "platform/apple/apple_support.h"
#include "platform/apple/capture_forwarder.h"
#include "platform/apple/dispatch_serial_queue.h"
#include "platform/apple/system_parts.h"
#include "platform/microphone.h"

namespace quorvia::platform {

namespace {

#pragma mark - Devices and inputs

class AVFoundationCaptureDevice final : public AudioCaptureDevice {
public:
    explicit AVFoundationCaptureDevice(AVCaptureDevice* captureDevice) : device(captureDevice) {}
    AVCaptureDevice* const device;
};

class AVFoundationDeviceInput final : public AudioDeviceInput {
public:
    explicit AVFoundationDeviceInput(AVCaptureDeviceInput* deviceInput) : input(deviceInput) {}
    AVCaptureDeviceInput* const input;
};

#pragma mark - Audio data output

class AVFoundationAudioDataOutput final : public AudioDataOutput {
public:
    AVFoundationAudioDataOutput() : output([AVCaptureAudioDataOutput new]) {}

    void setAudioSettings(const AudioSettings& settings) override {
        // One dictionary at once: the output checks the settings together (a float flag needs
        // its bit depth), and a key left out means the device's own value for it.
        output.audioSettings = @{
            AVFormatIDKey : @(static_cast<unsigned int>(settings.formatID)),
            AVSampleRateKey : @(static_cast<NSInteger>(settings.sampleRate)),
            AVNumberOfChannelsKey : @(static_cast<NSInteger>(settings.numberOfChannels)),
            AVLinearPCMBitDepthKey : @(static_cast<NSInteger>(settings.linearPCMBitDepth)),
            AVLinearPCMIsFloatKey : @(settings.linearPCMIsFloat),
            AVLinearPCMIsBigEndianKey : @(settings.linearPCMIsBigEndian),
            AVLinearPCMIsNonInterleaved : @(settings.linearPCMIsNonInterleaved),
        };
    }

    void setSampleBufferDelegate(AudioSampleBufferDelegate* delegate, std::shared_ptr<SerialQueue> queue) override {
        if (delegate == nullptr) {
            [output setSampleBufferDelegate:nil queue:nil];
            forwarder_ = nil;
            queue_.reset();
            return;
        }
        // Must be serial: buffers then arrive one at a time and in order. The forwarder is kept
        // only after the output has switched to it, so the one it may still call stays alive.
        QuorviaCaptureForwarder* forwarder = [[QuorviaCaptureForwarder alloc] initWithAudioDelegate:delegate];
        [output setSampleBufferDelegate:forwarder queue:apple::dispatchQueueOf(queue)];
        forwarder_ = forwarder;
        queue_ = std::move(queue);
    }

    AVCaptureAudioDataOutput* const output;

private:
    QuorviaCaptureForwarder* forwarder_ = nil;  // kept here: the output need not keep its delegate
    std::shared_ptr<SerialQueue> queue_;
};

#pragma mark - Capture session

class AVFoundationCaptureSession final : public CaptureSession {
public:
    AVFoundationCaptureSession() : session_([AVCaptureSession new]) {}
    ~AVFoundationCaptureSession() override { stopObserving(); }

    bool canAddInput(const AudioDeviceInput& input) override {
        return [session_ canAddInput:apple::ownObject<const AVFoundationDeviceInput>(&input).input];
    }

    bool canAddOutput(const AudioDataOutput& output) override {
        return [session_ canAddOutput:apple::ownObject<const AVFoundationAudioDataOutput>(&output).output];
    }

    void beginConfiguration() override { [session_ beginConfiguration]; }

    void addInput(std::shared_ptr<AudioDeviceInput> input) override {
        [session_ addInput:apple::ownObject<AVFoundationDeviceInput>(input.get()).input];
        inputs_.push_back(std::move(input));
    }

    void addOutput(std::shared_ptr<AudioDataOutput> output) override {
        [session_ addOutput:apple::ownObject<AVFoundationAudioDataOutput>(output.get()).output];
        outputs_.push_back(std::move(output));
    }

    void commitConfiguration() override { [session_ commitConfiguration]; }

    void startRunning() override {
        // Observed before starting: a start that fails is reported by the same notification.
        startObserving();
        [session_ startRunning];
    }

    void stopRunning() override {
        // A stop we asked for is no end to report.
        stopObserving();
        [session_ stopRunning];
    }

    void setCaptureEndedHandler(CaptureEndedHandler handler) override { handler_ = std::move(handler); }

private:
    void startObserving() {
        if (!handler_ || !observers_.empty()) {
            return;
        }
        // The blocks hold the handler, never this session, so the centre keeps no cycle alive
        // and a notification already in flight on another thread finds the handler intact.
        const auto handler = std::make_shared<const CaptureEndedHandler>(handler_);
        NSNotificationCenter* center = NSNotificationCenter.defaultCenter;
        observers_.push_back([center addObserverForName:AVCaptureSessionRuntimeErrorNotification
                                                 object:session_
                                                  queue:nil
                                             usingBlock:^(NSNotification* notification) {
                                               NSError* error = [notification.userInfo objectForKey:AVCaptureSessionErrorKey];
                                               if ([error isKindOfClass:[NSError class]]) {
                                                   (*handler)(apple::captureErrorFrom(error));
                                               } else {
                                                   (*handler)(std::nullopt);
                                               }
                                             }]);
        for (const auto& input : inputs_) {
            // A device that comes back is a new AVCaptureDevice, so this one stays gone.
            AVCaptureDevice* device = apple::ownObject<AVFoundationDeviceInput>(input.get()).input.device;
            observers_.push_back([center addObserverForName:AVCaptureDeviceWasDisconnectedNotification
                                                     object:device
                                                      queue:nil
                                                 usingBlock:^(NSNotification*) {
                                                   (*handler)(std::nullopt);
                                                 }]);
        }
    }

    void stopObserving() {
        NSNotificationCenter* center = NSNotificationCenter.defaultCenter;
        for (id<NSObject> observer : observers_) {
            [center removeObserver:observer];
        }
        observers_.clear();
    }

    AVCaptureSession* const session_;
    // The session keeps its inputs and outputs; these keep their wrappers (and the output's
    // forwarder) alive as long as the session can deliver to them.
    std::vector<std::shared_ptr<AudioDeviceInput>> inputs_;
    std::vector<std::shared_ptr<AudioDataOutput>> outputs_;
    CaptureEndedHandler handler_;
    std::vector<id<NSObject>> observers_;  // main thread only: start, stop, destruction
};

#pragma mark - Microphone

class AVFoundationMicrophone final : public MicrophoneCapture {
public:
    std::unique_ptr<CaptureSession> makeCaptureSession() override {
        return std::make_unique<AVFoundationCaptureSession>();
    }

    std::int64_t authorizationStatusForAudio() override {
        return static_cast<std::int64_t>([AVCaptureDevice authorizationStatusForMediaType:AVMediaTypeAudio]);
    }

    void requestAccessForAudio(std::function<void(bool granted)> completion) override {
        // Answered on an arbitrary queue. A denial later yields silent samples, not an error.
        [AVCaptureDevice requestAccessForMediaType:AVMediaTypeAudio
                                 completionHandler:^(BOOL granted) {
                                   completion(granted);
                                 }];
    }

    std::shared_ptr<AudioCaptureDevice> defaultAudioDevice() override {
        AVCaptureDevice* device = [AVCaptureDevice defaultDeviceWithMediaType:AVMediaTypeAudio];
        if (device == nil) {
            return nullptr;
        }
        return std::make_shared<AVFoundationCaptureDevice>(device);
    }

    std::variant<std::shared_ptr<AudioDeviceInput>, CaptureError> makeDeviceInput(
        const std::shared_ptr<AudioCaptureDevice>& device) override {
        NSError* error = nil;
        AVCaptureDeviceInput* input =
            [AVCaptureDeviceInput deviceInputWithDevice:apple::ownObject<AVFoundationCaptureDevice>(device.get()).device
                                                  error:&error];
        if (input == nil) {
            if (auto failure = apple::optionalCaptureError(error)) {
                return *std::move(failure);
            }
            return apple::unexplainedFailure("microphone_input_unavailable");
        }
        return std::make_shared<AVFoundationDeviceInput>(input);
    }

    std::shared_ptr<AudioDataOutput> makeAudioDataOutput() override {
        return std::make_shared<AVFoundationAudioDataOutput>();
    }
};

}  // namespace

MicrophoneCapture& apple::avFoundationMicrophone() {
    static auto* const microphone = new AVFoundationMicrophone();
    return *microphone;
}

}  // namespace quorvia::platform

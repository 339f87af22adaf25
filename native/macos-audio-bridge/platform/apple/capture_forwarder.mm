#import "platform/apple/capture_forwarder.h"

#include "platform/apple/apple_support.h"
#include "platform/apple/core_media_sample_buffer.h"

using quorvia::platform::apple::CoreMediaSampleBuffer;

@implementation QuorviaCaptureForwarder {
    // Set once by the initializer; exactly one is not null.
    quorvia::platform::AudioSampleBufferDelegate* _audioDelegate;
    quorvia::platform::StreamOutput* _streamOutput;
    quorvia::platform::StreamDelegate* _streamDelegate;
}

- (instancetype)initWithAudioDelegate:(quorvia::platform::AudioSampleBufferDelegate*)delegate {
    self = [super init];
    if (self != nil) {
        _audioDelegate = delegate;
    }
    return self;
}

- (instancetype)initWithStreamOutput:(quorvia::platform::StreamOutput*)output {
    self = [super init];
    if (self != nil) {
        _streamOutput = output;
    }
    return self;
}

- (instancetype)initWithStreamDelegate:(quorvia::platform::StreamDelegate*)delegate {
    self = [super init];
    if (self != nil) {
        _streamDelegate = delegate;
    }
    return self;
}

#pragma mark - AVCaptureAudioDataOutputSampleBufferDelegate

- (void)captureOutput:(AVCaptureOutput*)output
    didOutputSampleBuffer:(CMSampleBufferRef)sampleBuffer
           fromConnection:(AVCaptureConnection*)connection {
    if (_audioDelegate != nullptr) {
        const CoreMediaSampleBuffer buffer(sampleBuffer);
        _audioDelegate->captureOutput(buffer);
    }
}

#pragma mark - SCStreamOutput

- (void)stream:(SCStream*)stream didOutputSampleBuffer:(CMSampleBufferRef)sampleBuffer ofType:(SCStreamOutputType)type {
    if (_streamOutput != nullptr) {
        const CoreMediaSampleBuffer buffer(sampleBuffer);
        _streamOutput->streamDidOutputSampleBuffer(buffer, static_cast<std::int64_t>(type));
    }
}

#pragma mark - SCStreamDelegate

- (void)stream:(SCStream*)stream didStopWithError:(NSError*)error {
    // The only word ScreenCaptureKit gives of a stream it ended itself (display asleep: -3821,
    // permission withdrawn, audio server gone); its localized description goes to the host.
    if (_streamDelegate != nullptr) {
        _streamDelegate->streamDidStopWithError(quorvia::platform::apple::captureErrorFrom(error));
    }
}

@end

#pragma once

#import <AVFoundation/AVFoundation.h>
#import <Foundation/Foundation.h>
#import <ScreenCaptureKit/ScreenCaptureKit.h>

#include "platform/microphone.h"
#include "platform/screen_capture.h"

NS_ASSUME_NONNULL_BEGIN

// Takes the frameworks' delegate callbacks and hands them to the one C++ receiver it was made
// for. Who owns whom: the C++ wrapper that registers a forwarder keeps it (strongly) for as long
// as the framework can call it, since the frameworks may hold their delegates weakly. The
// forwarder points at its receiver without owning it; the seam makes the receiver outlive the
// output or stream it is registered with. Nothing points back at the wrapper, so there is no cycle.
API_AVAILABLE(macos(13.0))
@interface QuorviaCaptureForwarder
    : NSObject <AVCaptureAudioDataOutputSampleBufferDelegate, SCStreamOutput, SCStreamDelegate>
- (instancetype)init NS_UNAVAILABLE;
+ (instancetype)new NS_UNAVAILABLE;
- (instancetype)initWithAudioDelegate:(quorvia::platform::AudioSampleBufferDelegate*)delegate
    NS_DESIGNATED_INITIALIZER;
- (instancetype)initWithStreamOutput:(quorvia::platform::StreamOutput*)output NS_DESIGNATED_INITIALIZER;
- (instancetype)initWithStreamDelegate:(quorvia::platform::StreamDelegate*)delegate NS_DESIGNATED_INITIALIZER;
@end

NS_ASSUME_NONNULL_END

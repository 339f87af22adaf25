// Must fail the Apple sources check: nil where the declaration says nonnull.
#import <AVFoundation/AVFoundation.h>

AVCaptureDeviceInput* makeInput() {
    NSError* error = nil;
    return [AVCaptureDeviceInput deviceInputWithDevice:nil error:&error];
}

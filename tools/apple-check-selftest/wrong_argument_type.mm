// Must fail the Apple sources check: an output passed where the session wants an input.
#import <AVFoundation/AVFoundation.h>

void wire(AVCaptureSession* session) {
    AVCaptureAudioDataOutput* output = [AVCaptureAudioDataOutput new];
    [session addInput:output];
}

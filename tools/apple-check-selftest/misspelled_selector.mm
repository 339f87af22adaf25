// Must fail the Apple sources check: a selector the declarations do not have.
#import <AVFoundation/AVFoundation.h>

void startSession(AVCaptureSession* session) {
    [session startRuning];
}

#pragma once

#include <AVFAudio/AVFAudio.h>
#include <CoreMedia/CoreMedia.h>
#include <Foundation/Foundation.h>
#include <dispatch/dispatch.h>
#include <os/availability.h>

NS_ASSUME_NONNULL_BEGIN

#pragma mark - AVMediaFormat.h

typedef NSString *AVMediaType NS_TYPED_EXTENSIBLE_ENUM;
extern AVMediaType const AVMediaTypeAudio API_AVAILABLE(macos(10.7));

#pragma mark - AVCaptureDevice.h

typedef NS_ENUM(NSInteger, AVAuthorizationStatus) {
    AVAuthorizationStatusNotDetermined = 0,
    AVAuthorizationStatusRestricted = 1,
    AVAuthorizationStatusDenied = 2,
    AVAuthorizationStatusAuthorized = 3,
} API_AVAILABLE(macos(10.14));

extern NSNotificationName const AVCaptureDeviceWasDisconnectedNotification API_AVAILABLE(macos(10.7));

API_AVAILABLE(macos(10.7))
@interface AVCaptureDevice : NSObject
- (instancetype)init NS_UNAVAILABLE;
+ (instancetype)new NS_UNAVAILABLE;
+ (nullable AVCaptureDevice *)defaultDeviceWithMediaType:(AVMediaType)mediaType;
+ (AVAuthorizationStatus)authorizationStatusForMediaType:(AVMediaType)mediaType API_AVAILABLE(macos(10.14));
+ (void)requestAccessForMediaType:(AVMediaType)mediaType
                completionHandler:(void (^)(BOOL granted))handler API_AVAILABLE(macos(10.14));
@end

#pragma mark - AVCaptureInput.h

API_AVAILABLE(macos(10.7))
@interface AVCaptureInput : NSObject
- (instancetype)init NS_UNAVAILABLE;
+ (instancetype)new NS_UNAVAILABLE;
@end

API_AVAILABLE(macos(10.7))
@interface AVCaptureDeviceInput : AVCaptureInput
+ (nullable instancetype)deviceInputWithDevice:(AVCaptureDevice *)device error:(NSError *_Nullable *_Nullable)outError;
@property(nonatomic, readonly) AVCaptureDevice *device;
@end

#pragma mark - AVCaptureOutputBase.h, AVCaptureSession.h

API_AVAILABLE(macos(10.7))
@interface AVCaptureOutput : NSObject
- (instancetype)init NS_UNAVAILABLE;
+ (instancetype)new NS_UNAVAILABLE;
@end

API_AVAILABLE(macos(10.7))
@interface AVCaptureConnection : NSObject
- (instancetype)init NS_UNAVAILABLE;
+ (instancetype)new NS_UNAVAILABLE;
@end

extern NSNotificationName const AVCaptureSessionRuntimeErrorNotification API_AVAILABLE(macos(10.7));
extern NSString *const AVCaptureSessionErrorKey API_AVAILABLE(macos(10.7));

API_AVAILABLE(macos(10.7))
@interface AVCaptureSession : NSObject
- (BOOL)canAddInput:(AVCaptureInput *)input;
- (void)addInput:(AVCaptureInput *)input;
- (BOOL)canAddOutput:(AVCaptureOutput *)output;
- (void)addOutput:(AVCaptureOutput *)output;
- (void)beginConfiguration;
- (void)commitConfiguration;
- (void)startRunning;
- (void)stopRunning;
@end

#pragma mark - AVCaptureAudioDataOutput.h

@class AVCaptureAudioDataOutput;

API_AVAILABLE(macos(10.7))
@protocol AVCaptureAudioDataOutputSampleBufferDelegate <NSObject>
@optional
- (void)captureOutput:(AVCaptureOutput *)output
    didOutputSampleBuffer:(CMSampleBufferRef)sampleBuffer
           fromConnection:(AVCaptureConnection *)connection;
@end

API_AVAILABLE(macos(10.7))
@interface AVCaptureAudioDataOutput : AVCaptureOutput
- (instancetype)init;
+ (instancetype)new;
- (void)setSampleBufferDelegate:(nullable id<AVCaptureAudioDataOutputSampleBufferDelegate>)sampleBufferDelegate
                          queue:(nullable dispatch_queue_t)sampleBufferCallbackQueue;
// nil means the device's native format.
@property(nonatomic, copy, null_resettable) NSDictionary<NSString *, id> *audioSettings API_AVAILABLE(macos(10.7));
@end

NS_ASSUME_NONNULL_END

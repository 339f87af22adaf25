#pragma once

#include <CoreMedia/CoreMedia.h>
#include <Foundation/Foundation.h>
#include <dispatch/dispatch.h>
#include <os/availability.h>

NS_ASSUME_NONNULL_BEGIN

#pragma mark - SCShareableContent.h

API_AVAILABLE(macos(12.3))
@interface SCRunningApplication : NSObject
@property(readonly) NSString *bundleIdentifier;
@end

API_AVAILABLE(macos(12.3))
@interface SCWindow : NSObject
@end

API_AVAILABLE(macos(12.3))
@interface SCDisplay : NSObject
@end

API_AVAILABLE(macos(12.3))
@interface SCShareableContent : NSObject
+ (void)getShareableContentExcludingDesktopWindows:(BOOL)excludeDesktopWindows
                               onScreenWindowsOnly:(BOOL)onScreenWindowsOnly
                                 completionHandler:(void (^)(SCShareableContent *_Nullable shareableContent,
                                                             NSError *_Nullable error))completionHandler;
@property(readonly) NSArray<SCDisplay *> *displays;
@property(readonly) NSArray<SCRunningApplication *> *applications;
@end

#pragma mark - SCStream.h

typedef NS_ENUM(NSInteger, SCStreamOutputType) {
    SCStreamOutputTypeScreen,
    SCStreamOutputTypeAudio API_AVAILABLE(macos(13.0)),
};

API_AVAILABLE(macos(12.3))
@interface SCContentFilter : NSObject
- (instancetype)initWithDisplay:(SCDisplay *)display
          excludingApplications:(NSArray<SCRunningApplication *> *)applications
               exceptingWindows:(NSArray<SCWindow *> *)exceptingWindows;
@end

API_AVAILABLE(macos(12.3))
@interface SCStreamConfiguration : NSObject
@property(nonatomic, assign) size_t width;
@property(nonatomic, assign) size_t height;
@property(nonatomic, assign) CMTime minimumFrameInterval;
@property(nonatomic, assign) BOOL showsCursor;
@property(nonatomic, assign) NSInteger queueDepth;
@property(nonatomic, assign) BOOL capturesAudio API_AVAILABLE(macos(13.0));
@property(nonatomic, assign) NSInteger sampleRate API_AVAILABLE(macos(13.0));
@property(nonatomic, assign) NSInteger channelCount API_AVAILABLE(macos(13.0));
@property(nonatomic, assign) BOOL excludesCurrentProcessAudio API_AVAILABLE(macos(13.0));
@end

@class SCStream;

API_AVAILABLE(macos(12.3))
@protocol SCStreamOutput <NSObject>
@optional
- (void)stream:(SCStream *)stream
    didOutputSampleBuffer:(CMSampleBufferRef)sampleBuffer
                   ofType:(SCStreamOutputType)type;
@end

API_AVAILABLE(macos(12.3))
@protocol SCStreamDelegate <NSObject>
@optional
- (void)stream:(SCStream *)stream didStopWithError:(NSError *)error;
@end

API_AVAILABLE(macos(12.3))
@interface SCStream : NSObject
- (instancetype)initWithFilter:(SCContentFilter *)contentFilter
                 configuration:(SCStreamConfiguration *)streamConfig
                      delegate:(nullable id<SCStreamDelegate>)delegate;
- (BOOL)addStreamOutput:(id<SCStreamOutput>)output
                   type:(SCStreamOutputType)type
     sampleHandlerQueue:(nullable dispatch_queue_t)sampleHandlerQueue
                  error:(NSError **)error;
- (void)startCaptureWithCompletionHandler:(nullable void (^)(NSError *_Nullable error))completionHandler;
- (void)stopCaptureWithCompletionHandler:(nullable void (^)(NSError *_Nullable error))completionHandler;
@end

NS_ASSUME_NONNULL_END

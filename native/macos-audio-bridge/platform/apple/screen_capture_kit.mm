// The interviewer bridge's system audio on ScreenCaptureKit.

#import <CoreMedia/CoreMedia.h>
#import <Foundation/Foundation.h>
#import <ScreenCaptureKit/ScreenCaptureKit.h>

#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "platform/apple/apple_support.h"
#include "platform/apple/capture_forwarder.h"
#include "platform/apple/dispatch_serial_queue.h"
#include "platform/apple/system_parts.h"
#include "platform/screen_capture.h"

namespace quorvia::platform {

namespace {

#pragma mark - Shareable content

class API_AVAILABLE(macos(13.0)) SCKDisplay final : public Display {
public:
    explicit SCKDisplay(SCDisplay* scDisplay) : display(scDisplay) {}
    SCDisplay* const display;
};

class API_AVAILABLE(macos(13.0)) SCKRunningApplication final : public RunningApplication {
public:
    explicit SCKRunningApplication(SCRunningApplication* scApplication) : application(scApplication) {}
    std::string bundleIdentifier() const override { return apple::utf8String(application.bundleIdentifier); }
    SCRunningApplication* const application;
};

#pragma mark - Filter and configuration

class API_AVAILABLE(macos(13.0)) SCKContentFilter final : public ContentFilter {
public:
    explicit SCKContentFilter(SCContentFilter* scFilter) : filter(scFilter) {}
    SCContentFilter* const filter;
};

class API_AVAILABLE(macos(13.0)) SCKStreamConfiguration final : public StreamConfiguration {
public:
    SCKStreamConfiguration() : configuration([SCStreamConfiguration new]) {}

    void setWidth(std::int64_t pixels) override { configuration.width = static_cast<size_t>(pixels); }
    void setHeight(std::int64_t pixels) override { configuration.height = static_cast<size_t>(pixels); }
    void setMinimumFrameInterval(std::int64_t value, std::int32_t timescale) override {
        configuration.minimumFrameInterval = CMTimeMake(value, timescale);
    }
    void setShowsCursor(bool shows) override { configuration.showsCursor = shows; }
    void setCapturesAudio(bool captures) override { configuration.capturesAudio = captures; }
    // 8000, 16000, 24000 or 48000; anything else silently becomes 48000.
    void setSampleRate(std::int64_t hertz) override { configuration.sampleRate = static_cast<NSInteger>(hertz); }
    void setChannelCount(std::int64_t channels) override {
        configuration.channelCount = static_cast<NSInteger>(channels);
    }
    void setQueueDepth(std::int64_t depth) override { configuration.queueDepth = static_cast<NSInteger>(depth); }

    bool respondsToSetExcludesCurrentProcessAudio() const override {
        return [configuration respondsToSelector:@selector(setExcludesCurrentProcessAudio:)];
    }
    // Leaves out this helper's own audio only; the host is left out through the content filter.
    void setExcludesCurrentProcessAudio(bool excludes) override {
        [configuration setValue:@(excludes) forKey:@"excludesCurrentProcessAudio"];
    }

    SCStreamConfiguration* const configuration;
};

#pragma mark - Stream

class API_AVAILABLE(macos(13.0)) SCKStream final : public Stream {
public:
    SCKStream(SCContentFilter* filter, SCStreamConfiguration* configuration, StreamDelegate* delegate)
        : delegateForwarder_(delegate != nullptr ? [[QuorviaCaptureForwarder alloc] initWithStreamDelegate:delegate]
                                                 : nil),
          stream_([[SCStream alloc] initWithFilter:filter configuration:configuration delegate:delegateForwarder_]) {}

    std::optional<CaptureError> addStreamOutput(StreamOutput& output, std::int64_t outputType,
                                                std::shared_ptr<SerialQueue> queue) override {
        QuorviaCaptureForwarder* forwarder = [[QuorviaCaptureForwarder alloc] initWithStreamOutput:&output];
        NSError* error = nil;
        const BOOL added = [stream_ addStreamOutput:forwarder
                                               type:static_cast<SCStreamOutputType>(outputType)
                                 sampleHandlerQueue:apple::dispatchQueueOf(queue)
                                              error:&error];
        if (!added) {
            if (auto failure = apple::optionalCaptureError(error)) {
                return failure;
            }
            return apple::unexplainedFailure("stream_output_rejected");
        }
        outputForwarders_.push_back(forwarder);
        queues_.push_back(std::move(queue));
        return std::nullopt;
    }

    void startCapture(CaptureCompletion completion) override {
        [stream_ startCaptureWithCompletionHandler:^(NSError* _Nullable error) {
          completion(apple::optionalCaptureError(error));
        }];
    }

    void stopCapture(CaptureCompletion completion) override {
        [stream_ stopCaptureWithCompletionHandler:^(NSError* _Nullable error) {
          completion(apple::optionalCaptureError(error));
        }];
    }

private:
    // Kept here because the stream need not keep its delegate and outputs alive itself.
    QuorviaCaptureForwarder* const delegateForwarder_;  // nil without a delegate
    SCStream* const stream_;
    // Written by addStreamOutput only (the start task); the completions never touch them.
    std::vector<QuorviaCaptureForwarder*> outputForwarders_;
    std::vector<std::shared_ptr<SerialQueue>> queues_;
};

#pragma mark - Screen capture

class API_AVAILABLE(macos(13.0)) ScreenCaptureKitCapture final : public ScreenCapture {
public:
    void getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                             ShareableContentCompletion completion) override {
        [SCShareableContent
            getShareableContentExcludingDesktopWindows:excludingDesktopWindows
                                   onScreenWindowsOnly:onScreenWindowsOnly
                                     completionHandler:^(SCShareableContent* _Nullable content,
                                                         NSError* _Nullable error) {
                                       if (auto failure = apple::optionalCaptureError(error)) {
                                           completion(nullptr, std::move(failure));
                                           return;
                                       }
                                       if (content == nil) {
                                           completion(nullptr,
                                                      apple::unexplainedFailure("shareable_content_unavailable"));
                                           return;
                                       }
                                       completion(shareableContentFrom(content), std::nullopt);
                                     }];
    }

    std::shared_ptr<ContentFilter> makeContentFilter(
        const std::shared_ptr<Display>& display,
        const std::vector<std::shared_ptr<RunningApplication>>& excludedApplications) override {
        NSMutableArray<SCRunningApplication*>* applications =
            [NSMutableArray arrayWithCapacity:excludedApplications.size()];
        for (const auto& application : excludedApplications) {
            [applications addObject:apple::ownObject<SCKRunningApplication>(application.get()).application];
        }
        SCContentFilter* filter =
            [[SCContentFilter alloc] initWithDisplay:apple::ownObject<SCKDisplay>(display.get()).display
                               excludingApplications:applications
                                    exceptingWindows:@[]];
        return std::make_shared<SCKContentFilter>(filter);
    }

    std::shared_ptr<StreamConfiguration> makeStreamConfiguration() override {
        return std::make_shared<SCKStreamConfiguration>();
    }

    std::shared_ptr<Stream> makeStream(const std::shared_ptr<ContentFilter>& filter,
                                       const std::shared_ptr<StreamConfiguration>& configuration,
                                       StreamDelegate* delegate) override {
        return std::make_shared<SCKStream>(
            apple::ownObject<SCKContentFilter>(filter.get()).filter,
            apple::ownObject<SCKStreamConfiguration>(configuration.get()).configuration, delegate);
    }

private:
    static std::shared_ptr<ShareableContent> shareableContentFrom(SCShareableContent* content) {
        auto shareable = std::make_shared<ShareableContent>();
        for (SCDisplay* display in content.displays) {
            shareable->displays.push_back(std::make_shared<SCKDisplay>(display));
        }
        for (SCRunningApplication* application in content.applications) {
            shareable->applications.push_back(std::make_shared<SCKRunningApplication>(application));
        }
        return shareable;
    }
};

}  // namespace

ScreenCapture& apple::screenCaptureKitCapture() {
    static auto* const capture = new ScreenCaptureKitCapture();
    return *capture;
}

}  // namespace quorvia::platform

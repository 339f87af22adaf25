#pragma once

#import <CoreMedia/CoreMedia.h>

#include <cstdint>
#include <memory>
#include <optional>

#include "platform/sample_buffer.h"

namespace quorvia::platform::apple {

// A CoreMedia sample buffer as the conversion reads it. Borrowed: it wraps the buffer of one
// delegate callback and lives only for that call.
class CoreMediaSampleBuffer final : public SampleBuffer {
public:
    explicit CoreMediaSampleBuffer(CMSampleBufferRef sampleBuffer) : sampleBuffer_(sampleBuffer) {}

    bool hasFormatDescription() const override;
    std::optional<StreamDescription> audioStreamDescription() const override;
    std::int64_t numSamples() const override;
    std::int32_t fillAudioBufferList(AudioBufferList& list,
                                     std::unique_ptr<RetainedBlockBuffer>& block) const override;

private:
    CMSampleBufferRef sampleBuffer_;
};

}  // namespace quorvia::platform::apple

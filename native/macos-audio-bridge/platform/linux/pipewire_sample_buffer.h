#pragma once

// One buffer of captured PipeWire audio, copied out of the stream, in the shape of a CoreMedia
// sample buffer so the conversion reads it exactly as it reads the macOS ones.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "platform/sample_buffer.h"

namespace quorvia::platform::pipewire {

// kAudioFormatFlagIsPacked: the samples fill their bits with no padding.
inline constexpr std::uint32_t kFormatFlagIsPacked = 1u << 3;
// kCMSampleBufferError_ArrayTooSmall: the caller's list has no room for the buffer.
inline constexpr std::int32_t kSampleBufferErrorArrayTooSmall = -12737;

// The interleaved sample formats the capture streams ask for.
enum class SampleFormat { Float32, Signed16 };

struct NegotiatedFormat {
    SampleFormat sampleFormat = SampleFormat::Float32;
    std::uint32_t channels = 0;
    std::uint32_t rate = 0;
};

StreamDescription streamDescriptionFor(SampleFormat sampleFormat, std::uint32_t channels);
std::uint32_t bytesPerFrame(const NegotiatedFormat& format);

class PipeWireSampleBuffer final : public SampleBuffer {
public:
    // Copies `samples` (whole interleaved frames of `format`; a trailing partial frame is dropped).
    PipeWireSampleBuffer(const NegotiatedFormat& format, std::span<const std::byte> samples);

    bool hasFormatDescription() const override { return true; }
    std::optional<StreamDescription> audioStreamDescription() const override { return description_; }
    std::int64_t numSamples() const override { return frames_; }
    std::int32_t fillAudioBufferList(AudioBufferList& list, std::unique_ptr<RetainedBlockBuffer>& block) const override;

private:
    StreamDescription description_;
    std::int64_t frames_ = 0;
    // Shared with every block handed out, so the samples outlive this object if need be.
    std::shared_ptr<const std::vector<std::byte>> samples_;
};

}  // namespace quorvia::platform::pipewire

#pragma once

// One delivered audio sample buffer, as the conversion reads it. Abstract so the conversion
// runs on CoreMedia, on PipeWire buffers and on hand-built fakes alike.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace quorvia::platform {

// Bits of a stream description's format flags (CoreAudio's values).
inline constexpr std::uint32_t kFormatFlagIsFloat = 1u << 0;
inline constexpr std::uint32_t kFormatFlagIsBigEndian = 1u << 1;
inline constexpr std::uint32_t kFormatFlagIsSignedInteger = 1u << 2;
inline constexpr std::uint32_t kFormatFlagIsNonInterleaved = 1u << 5;

// The three fields of an AudioStreamBasicDescription that the conversion reads.
struct StreamDescription {
    std::uint32_t formatFlags = 0;
    std::uint32_t channelsPerFrame = 0;
    std::uint32_t bitsPerChannel = 0;
};

// One entry of a buffer list. `data` may be null; `dataByteSize` bounds every read.
struct AudioBuffer {
    std::uint32_t numberChannels = 0;
    std::uint32_t dataByteSize = 0;
    const void* data = nullptr;
};

// Caller-owned list storage: `buffers.size()` is the room the caller allocated, and the
// platform sets `numberBuffers` (never above that room) when it fills the list.
struct AudioBufferList {
    std::uint32_t numberBuffers = 0;
    std::vector<AudioBuffer> buffers;

    std::span<const AudioBuffer> filled() const {
        const std::size_t count = numberBuffers < buffers.size() ? numberBuffers : buffers.size();
        return {buffers.data(), count};
    }
};

// Keeps a filled list's samples readable; destroying it releases the platform's block buffer.
class RetainedBlockBuffer {
public:
    virtual ~RetainedBlockBuffer() = default;
};

class SampleBuffer {
public:
    virtual ~SampleBuffer() = default;

    // CMSampleBufferGetFormatDescription: false when the buffer carries none.
    virtual bool hasFormatDescription() const = 0;
    // CMAudioFormatDescriptionGetStreamBasicDescription: nullopt when the description is not audio.
    virtual std::optional<StreamDescription> audioStreamDescription() const = 0;
    // CMSampleBufferGetNumSamples: the frame count, signed.
    virtual std::int64_t numSamples() const = 0;
    // CMSampleBufferGetAudioBufferListWithRetainedBlockBuffer with 16-byte alignment assured.
    // Returns 0 on success. On any status, a block the call set in `block` is the caller's to
    // release (by destroying it).
    virtual std::int32_t fillAudioBufferList(AudioBufferList& list,
                                             std::unique_ptr<RetainedBlockBuffer>& block) const = 0;
};

}  // namespace quorvia::platform

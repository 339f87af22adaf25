#pragma once

// Turns one platform sample buffer into mono, signed 16-bit, little-endian PCM.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "platform/sample_buffer.h"

namespace quorvia {

// 2 x frame count bytes, sample i at bytes 2i (low) and 2i + 1 (high).
using PcmChunk = std::vector<std::uint8_t>;

// Nothing when the buffer has no audio format description or no frames, or the platform cannot
// fill its buffer list. Also nothing for counts no capture produces (more than 2^24 frames or
// 65535 channels) and when memory runs out, so a corrupt buffer cannot end the process.
std::optional<PcmChunk> sampleBufferPCMData(const platform::SampleBuffer& sampleBuffer);

// Mixes `frameCount` frames down to mono into `output` (exactly 2 x frameCount bytes). 32-bit
// float and signed 16-bit samples are mixed; any other format gives silence. Never reads past a
// buffer's dataByteSize: an element beyond it counts as 0. Never writes past `output` either: a
// shorter span gets only the frames it has room for. A channel count below 1 counts as 1.
void mixToMonoPCM16(std::int64_t frameCount, std::int64_t channelCount, std::uint32_t bitsPerChannel,
                    bool isFloat, bool isSignedInteger, bool isNonInterleaved,
                    std::span<const platform::AudioBuffer> buffers, std::span<std::uint8_t> output);

}  // namespace quorvia

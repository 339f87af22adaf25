#include "audio/pcm_conversion.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>

namespace quorvia {

namespace {

// Live capture delivers tens of milliseconds per buffer. A count beyond this (about 6 minutes at
// 48 kHz, a 32 MiB chunk) is a corrupt or hostile buffer; allocating for it could take the process
// down, so it is answered with nothing.
constexpr std::int64_t kMaxFrameCount = std::int64_t{1} << 24;

// A CoreAudio channel layout tag carries its channel count in 16 bits. The list storage holds one
// entry per channel, so a larger count in a description is not honoured with an allocation.
constexpr std::int64_t kMaxChannelCount = 0xFFFF;

// Elements are read with memcpy: the platform assures 16-byte alignment, a hand-built list does not.
template <typename Element>
Element loadElement(const std::byte* base, std::size_t index) {
    Element value;
    std::memcpy(&value, base + index * sizeof(Element), sizeof(Element));
    return value;
}

void storeSample(std::uint8_t* output, std::size_t frame, std::int16_t sample) {
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(output + 2 * frame, &sample, sizeof(sample));
    } else {
        const auto bits = static_cast<std::uint16_t>(sample);
        output[2 * frame] = static_cast<std::uint8_t>(bits & 0xFFu);
        output[2 * frame + 1] = static_cast<std::uint8_t>(bits >> 8);
    }
}

void storeSilence(std::uint8_t* output, std::size_t firstFrame, std::size_t endFrame) {
    if (endFrame > firstFrame) {
        std::memset(output + 2 * firstFrame, 0, 2 * (endFrame - firstFrame));
    }
}

// One buffer as the mixing sees it: its samples and how many whole elements lie inside
// dataByteSize. Absent and null buffers have none, so they read as silence.
struct Plane {
    const std::byte* data = nullptr;
    std::size_t elements = 0;
};

template <typename Element>
Plane planeOf(std::span<const platform::AudioBuffer> buffers, std::size_t index) {
    if (index >= buffers.size() || buffers[index].data == nullptr) {
        return {};
    }
    return {static_cast<const std::byte*>(buffers[index].data), buffers[index].dataByteSize / sizeof(Element)};
}

// 32-bit float samples. The mean maps -1..1 onto -32768..32767: negatives scale by 32768, the
// rest (-0.0 included) by 32767, so the largest float below 1.0 gives 32766. Clamping after the
// scaling is the same as clamping the mean to -1..1 first (checked over every float), and NaN
// fails the upper test and becomes 32767. Selects rather than branches, so the loops vectorise.
struct FloatPath {
    using Element = float;
    using Sum = float;

    static Sum add(Sum sum, Element element) { return sum + element; }

    static std::int16_t finish(Sum sum, std::int64_t channelCount) {
        const float mean = sum / static_cast<float>(channelCount);
        float scaled = mean * (mean < 0.0f ? 32768.0f : 32767.0f);
        scaled = scaled < 32767.0f ? scaled : 32767.0f;
        scaled = scaled > -32768.0f ? scaled : -32768.0f;
        return static_cast<std::int16_t>(static_cast<std::int32_t>(scaled));
    }
};

// Signed 16-bit samples. A 64-bit sum cannot overflow for any channel count a list can hold, and
// the truncating mean of 16-bit values is itself a 16-bit value.
struct IntegerPath {
    using Element = std::int16_t;
    using Sum = std::int64_t;

    static Sum add(Sum sum, Element element) { return sum + element; }

    static std::int16_t finish(Sum sum, std::int64_t channelCount) {
        return static_cast<std::int16_t>(sum / channelCount);
    }
};

// Frame i's channel j is element i x channels + j of one buffer. `Channels` is a compile-time
// channel count for the common shapes, or 0 for "use channelCount".
template <typename Path, std::int64_t Channels>
void mixInterleaved(std::size_t frames, std::int64_t channelCount, Plane plane, std::uint8_t* output) {
    using Element = typename Path::Element;
    const std::int64_t channels = Channels != 0 ? Channels : channelCount;
    const auto stride = static_cast<std::uint64_t>(channels);

    // Frames whose every channel lies inside the buffer, then at most one partial frame.
    const std::size_t whole = static_cast<std::size_t>(std::min<std::uint64_t>(frames, plane.elements / stride));
    for (std::size_t i = 0; i < whole; ++i) {
        typename Path::Sum sum{};
        for (std::size_t j = 0; j < stride; ++j) {
            sum = Path::add(sum, loadElement<Element>(plane.data, i * stride + j));
        }
        storeSample(output, i, Path::finish(sum, channels));
    }
    std::size_t done = whole;
    if (done < frames && plane.elements > done * stride) {
        typename Path::Sum sum{};
        for (std::size_t index = done * stride; index < plane.elements; ++index) {
            sum = Path::add(sum, loadElement<Element>(plane.data, index));
        }
        storeSample(output, done, Path::finish(sum, channels));
        ++done;
    }
    storeSilence(output, done, frames);
}

// Two planes: a tight loop over the frames both cover, then a bounded one for the rest.
// `Channels` is the divisor when known at compile time, else 0 for "use channelCount".
template <typename Path, std::int64_t Channels>
void mixTwoPlanes(std::size_t frames, std::int64_t channelCount, std::span<const platform::AudioBuffer> buffers,
                  std::uint8_t* output) {
    using Element = typename Path::Element;
    const std::int64_t channels = Channels != 0 ? Channels : channelCount;
    const Plane left = planeOf<Element>(buffers, 0);
    const Plane right = planeOf<Element>(buffers, 1);
    const std::size_t both = std::min({frames, left.elements, right.elements});
    for (std::size_t i = 0; i < both; ++i) {
        typename Path::Sum sum{};
        sum = Path::add(sum, loadElement<Element>(left.data, i));
        sum = Path::add(sum, loadElement<Element>(right.data, i));
        storeSample(output, i, Path::finish(sum, channels));
    }
    const std::size_t covered = std::min(frames, std::max(left.elements, right.elements));
    for (std::size_t i = both; i < covered; ++i) {
        typename Path::Sum sum{};
        if (i < left.elements) sum = Path::add(sum, loadElement<Element>(left.data, i));
        if (i < right.elements) sum = Path::add(sum, loadElement<Element>(right.data, i));
        storeSample(output, i, Path::finish(sum, channels));
    }
    storeSilence(output, covered, frames);
}

// Frame i's channel j is element i of buffer j, for the first min(buffer count, channels) buffers.
// A missing channel still counts in the divisor.
template <typename Path>
void mixNonInterleaved(std::size_t frames, std::int64_t channelCount, std::span<const platform::AudioBuffer> buffers,
                       std::uint8_t* output) {
    using Element = typename Path::Element;
    const std::size_t planes = static_cast<std::size_t>(std::min<std::uint64_t>(buffers.size(), channelCount));

    if (planes == 2) {
        // Stereo, the shape screen capture delivers.
        if (channelCount == 2) {
            mixTwoPlanes<Path, 2>(frames, 2, buffers, output);
        } else {
            mixTwoPlanes<Path, 0>(frames, channelCount, buffers, output);
        }
        return;
    }

    std::size_t covered = 0;
    for (std::size_t j = 0; j < planes; ++j) {
        covered = std::max(covered, planeOf<Element>(buffers, j).elements);
    }
    covered = std::min(covered, frames);
    for (std::size_t i = 0; i < covered; ++i) {
        typename Path::Sum sum{};
        for (std::size_t j = 0; j < planes; ++j) {
            const Plane plane = planeOf<Element>(buffers, j);
            if (i < plane.elements) sum = Path::add(sum, loadElement<Element>(plane.data, i));
        }
        storeSample(output, i, Path::finish(sum, channelCount));
    }
    storeSilence(output, covered, frames);
}

template <typename Path>
void mix(std::size_t frames, std::int64_t channelCount, bool isNonInterleaved,
         std::span<const platform::AudioBuffer> buffers, std::uint8_t* output) {
    using Element = typename Path::Element;
    // With one channel both layouts read element i of the first buffer.
    if (isNonInterleaved && channelCount > 1) {
        mixNonInterleaved<Path>(frames, channelCount, buffers, output);
        return;
    }
    const Plane first = planeOf<Element>(buffers, 0);
    if (channelCount == 1) {
        if constexpr (std::is_same_v<Path, IntegerPath> && std::endian::native == std::endian::little) {
            // The mean of one 16-bit channel is the sample itself, already in the chunk's layout.
            const std::size_t copied = std::min(frames, first.elements);
            if (copied > 0) std::memcpy(output, first.data, 2 * copied);
            storeSilence(output, copied, frames);
        } else {
            mixInterleaved<Path, 1>(frames, 1, first, output);
        }
    } else if (channelCount == 2) {
        mixInterleaved<Path, 2>(frames, 2, first, output);
    } else {
        mixInterleaved<Path, 0>(frames, channelCount, first, output);
    }
}

}  // namespace

void mixToMonoPCM16(std::int64_t frameCount, std::int64_t channelCount, std::uint32_t bitsPerChannel, bool isFloat,
                    bool isSignedInteger, bool isNonInterleaved, std::span<const platform::AudioBuffer> buffers,
                    std::span<std::uint8_t> output) {
    if (frameCount <= 0) {
        return;
    }
    // Never write past the output, whatever count the caller passes with it.
    const auto frames = static_cast<std::size_t>(std::min<std::uint64_t>(static_cast<std::uint64_t>(frameCount),
                                                                         output.size() / 2));
    const std::int64_t channels = channelCount > 1 ? channelCount : 1;

    if (isFloat && bitsPerChannel == 32) {
        mix<FloatPath>(frames, channels, isNonInterleaved, buffers, output.data());
    } else if (isSignedInteger && bitsPerChannel == 16) {
        mix<IntegerPath>(frames, channels, isNonInterleaved, buffers, output.data());
    } else {
        storeSilence(output.data(), 0, frames);
    }
}

std::optional<PcmChunk> sampleBufferPCMData(const platform::SampleBuffer& sampleBuffer) {
    if (!sampleBuffer.hasFormatDescription()) {
        return std::nullopt;
    }
    const std::optional<platform::StreamDescription> description = sampleBuffer.audioStreamDescription();
    if (!description) {
        return std::nullopt;
    }
    const std::int64_t channelCount = description->channelsPerFrame > 1 ? description->channelsPerFrame : 1;
    const std::uint32_t bitsPerChannel = description->bitsPerChannel;
    const bool isFloat = (description->formatFlags & platform::kFormatFlagIsFloat) != 0;
    const bool isSignedInteger = (description->formatFlags & platform::kFormatFlagIsSignedInteger) != 0;
    const bool isNonInterleaved = (description->formatFlags & platform::kFormatFlagIsNonInterleaved) != 0;

    const std::int64_t frameCount = sampleBuffer.numSamples();
    if (frameCount <= 0 || frameCount > kMaxFrameCount || channelCount > kMaxChannelCount) {
        return std::nullopt;
    }

    try {
        // Room for one buffer per channel whatever the layout: CoreMedia fails a planar buffer
        // whose list storage is too small instead of filling part of it.
        platform::AudioBufferList list;
        list.buffers.resize(static_cast<std::size_t>(channelCount));
        std::unique_ptr<platform::RetainedBlockBuffer> block;
        if (sampleBuffer.fillAudioBufferList(list, block) != 0) {
            return std::nullopt;
        }

        PcmChunk chunk(static_cast<std::size_t>(2 * frameCount), 0);
        mixToMonoPCM16(frameCount, channelCount, bitsPerChannel, isFloat, isSignedInteger, isNonInterleaved,
                       list.filled(), chunk);
        block.reset();  // the samples stay readable only until here
        return chunk;
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

}  // namespace quorvia

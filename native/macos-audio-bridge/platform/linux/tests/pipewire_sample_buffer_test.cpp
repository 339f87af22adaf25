#include "platform/linux/pipewire_sample_buffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "audio/pcm_conversion.h"

namespace quorvia::platform::pipewire {
namespace {

template <typename T>
std::vector<std::byte> bytesOf(const std::vector<T>& values) {
    std::vector<std::byte> bytes(values.size() * sizeof(T));
    std::memcpy(bytes.data(), values.data(), bytes.size());
    return bytes;
}

std::vector<std::int16_t> samplesOf(const PcmChunk& chunk) {
    std::vector<std::int16_t> samples(chunk.size() / 2);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<std::int16_t>(chunk[2 * i] | (chunk[2 * i + 1] << 8));
    }
    return samples;
}

TEST(PipeWireSampleBuffer, DescribesWhatTheStreamNegotiated) {
    const PipeWireSampleBuffer floats({SampleFormat::Float32, 2, 24000}, bytesOf(std::vector<float>{0.f, 0.f}));
    const auto floatDescription = floats.audioStreamDescription();
    ASSERT_TRUE(floatDescription);
    EXPECT_EQ(floatDescription->formatFlags, kFormatFlagIsFloat | kFormatFlagIsPacked);
    EXPECT_EQ(floatDescription->channelsPerFrame, 2u);
    EXPECT_EQ(floatDescription->bitsPerChannel, 32u);
    EXPECT_EQ(floats.numSamples(), 1);

    const PipeWireSampleBuffer ints({SampleFormat::Signed16, 1, 24000}, bytesOf(std::vector<std::int16_t>{1, 2, 3}));
    const auto intDescription = ints.audioStreamDescription();
    ASSERT_TRUE(intDescription);
    EXPECT_EQ(intDescription->formatFlags, kFormatFlagIsSignedInteger | kFormatFlagIsPacked);
    EXPECT_EQ(intDescription->channelsPerFrame, 1u);
    EXPECT_EQ(intDescription->bitsPerChannel, 16u);
    EXPECT_EQ(ints.numSamples(), 3);
    EXPECT_TRUE(ints.hasFormatDescription());
}

TEST(PipeWireSampleBuffer, FillsOneInterleavedBufferOfWholeFrames) {
    // Three stereo 16-bit frames and one stray byte that is no frame.
    auto bytes = bytesOf(std::vector<std::int16_t>{1, 2, 3, 4, 5, 6});
    bytes.push_back(std::byte{0x7F});
    const PipeWireSampleBuffer buffer({SampleFormat::Signed16, 2, 24000}, bytes);
    EXPECT_EQ(buffer.numSamples(), 3);

    AudioBufferList list;
    list.buffers.resize(2);  // the conversion makes room for one buffer per channel
    std::unique_ptr<RetainedBlockBuffer> block;
    ASSERT_EQ(buffer.fillAudioBufferList(list, block), 0);
    ASSERT_EQ(list.filled().size(), 1u);
    EXPECT_EQ(list.buffers[0].numberChannels, 2u);
    EXPECT_EQ(list.buffers[0].dataByteSize, 12u);
    EXPECT_EQ(std::memcmp(list.buffers[0].data, bytes.data(), 12), 0);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(list.buffers[0].data) % 16, 0u);
    EXPECT_TRUE(block);
}

TEST(PipeWireSampleBuffer, TheBlockKeepsTheSamplesAfterTheBufferIsGone) {
    AudioBufferList list;
    list.buffers.resize(1);
    std::unique_ptr<RetainedBlockBuffer> block;
    {
        const PipeWireSampleBuffer buffer({SampleFormat::Signed16, 1, 24000},
                                          bytesOf(std::vector<std::int16_t>{-7, 9}));
        ASSERT_EQ(buffer.fillAudioBufferList(list, block), 0);
    }
    std::int16_t samples[2];
    std::memcpy(samples, list.buffers[0].data, sizeof samples);  // ASan reports a use after free
    EXPECT_EQ(samples[0], -7);
    EXPECT_EQ(samples[1], 9);
}

TEST(PipeWireSampleBuffer, ListWithoutRoomIsRefused) {
    const PipeWireSampleBuffer buffer({SampleFormat::Float32, 1, 24000}, bytesOf(std::vector<float>{0.5f}));
    AudioBufferList list;
    std::unique_ptr<RetainedBlockBuffer> block;
    EXPECT_EQ(buffer.fillAudioBufferList(list, block), kSampleBufferErrorArrayTooSmall);
    EXPECT_FALSE(block);
}

// What the bridges do with every buffer: the conversion must read these as the platform meant.
TEST(PipeWireSampleBuffer, ConvertsLikeAMacSampleBuffer) {
    const PipeWireSampleBuffer stereoFloat({SampleFormat::Float32, 2, 24000},
                                           bytesOf(std::vector<float>{0.5f, -0.25f, -0.5f, -0.25f}));
    const auto mixed = sampleBufferPCMData(stereoFloat);
    ASSERT_TRUE(mixed);
    EXPECT_EQ(samplesOf(*mixed), (std::vector<std::int16_t>{4095, -12288}));

    const std::vector<std::int16_t> mono = {100, -1, 32767, -32768};
    const PipeWireSampleBuffer monoInts({SampleFormat::Signed16, 1, 24000}, bytesOf(mono));
    const auto same = sampleBufferPCMData(monoInts);
    ASSERT_TRUE(same);
    EXPECT_EQ(samplesOf(*same), mono);

    const PipeWireSampleBuffer empty({SampleFormat::Float32, 2, 24000}, {});
    EXPECT_FALSE(sampleBufferPCMData(empty));
}

}  // namespace
}  // namespace quorvia::platform::pipewire

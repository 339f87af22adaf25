#include "audio/pcm_conversion.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "audio/tests/fake_sample_buffer.h"

namespace quorvia {
namespace {

using platform::AudioBuffer;
using platform::StreamDescription;
using testing::Bytes;
using testing::ExactBytes;
using testing::FakeSampleBuffer;

constexpr std::uint32_t kFloat = platform::kFormatFlagIsFloat;
constexpr std::uint32_t kSigned = platform::kFormatFlagIsSignedInteger;
constexpr std::uint32_t kPlanar = platform::kFormatFlagIsNonInterleaved;
constexpr std::uint32_t kBigEndian = platform::kFormatFlagIsBigEndian;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// Samples in native byte order, as the platform delivers them.
template <typename T>
Bytes nativeBytes(std::initializer_list<T> values) {
    Bytes bytes(values.size() * sizeof(T));
    std::memcpy(bytes.data(), values.begin(), bytes.size());
    return bytes;
}
Bytes f32(std::initializer_list<float> values) { return nativeBytes(values); }
Bytes s16(std::initializer_list<std::int16_t> values) { return nativeBytes(values); }

Bytes plusBytes(Bytes bytes, std::size_t extra) {
    bytes.resize(bytes.size() + extra, 0xEE);
    return bytes;
}

// The chunk that `samples` make, written out byte by byte (low byte first).
Bytes chunkOf(const std::vector<std::int16_t>& samples) {
    Bytes bytes;
    for (const std::int16_t sample : samples) {
        const auto bits = static_cast<std::uint16_t>(sample);
        bytes.push_back(static_cast<std::uint8_t>(bits & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(bits >> 8));
    }
    return bytes;
}

// A hand-built buffer list over exactly sized heap copies of `planes` (nullopt: null data),
// each placed `offset` bytes into its allocation.
class HandBuiltList {
public:
    explicit HandBuiltList(const std::vector<std::optional<Bytes>>& planes, std::size_t offset = 0) {
        for (const auto& plane : planes) {
            AudioBuffer entry;
            if (plane) {
                storage_.push_back(std::make_unique<ExactBytes>(*plane, offset));
                entry.numberChannels = 1;
                entry.dataByteSize = storage_.back()->size();
                entry.data = storage_.back()->data();
            }
            buffers_.push_back(entry);
        }
    }
    std::span<const AudioBuffer> buffers() const { return buffers_; }

private:
    std::vector<std::unique_ptr<ExactBytes>> storage_;
    std::vector<AudioBuffer> buffers_;
};

// Mixes into an output pre-filled with a marker, so a sample left unwritten shows.
Bytes mix(std::int64_t frames, std::int64_t channels, std::uint32_t bits, std::uint32_t flags,
          std::span<const AudioBuffer> buffers) {
    Bytes output(static_cast<std::size_t>(2 * frames), 0xAB);
    mixToMonoPCM16(frames, channels, bits, (flags & kFloat) != 0, (flags & kSigned) != 0, (flags & kPlanar) != 0,
                   buffers, output);
    return output;
}

struct ConversionCase {
    std::string name;
    StreamDescription description;  // flags, channels per frame, bits per channel
    std::int64_t frames;
    std::vector<std::optional<Bytes>> planes;
    Bytes expected;
};

void expectConverts(const ConversionCase& c) {
    SCOPED_TRACE(c.name);
    FakeSampleBuffer buffer;
    buffer.description = c.description;
    buffer.frames = c.frames;
    buffer.planes = c.planes;
    const std::optional<PcmChunk> chunk = sampleBufferPCMData(buffer);
    ASSERT_TRUE(chunk.has_value());
    EXPECT_EQ(*chunk, c.expected);
    EXPECT_EQ(*buffer.blockReleases, 1);
}

// --- The mixing rules ---

TEST(PcmConversion, WorkedExamples) {
    const ConversionCase cases[] = {
        {"float stereo interleaved", {kFloat, 2, 32}, 1, {f32({0.5f, -0.25f})}, {0xFF, 0x0F}},
        {"float stereo non-interleaved", {kFloat | kPlanar, 2, 32}, 1, {f32({-0.5f}), f32({-0.25f})}, {0x00, 0xD0}},
        {"float three channels", {kFloat, 3, 32}, 1, {f32({0.75f, 0.75f, 0.75f})}, {0xFF, 0x5F}},
        {"float 1.5", {kFloat, 1, 32}, 1, {f32({1.5f})}, {0xFF, 0x7F}},
        {"float 1.0", {kFloat, 1, 32}, 1, {f32({1.0f})}, {0xFF, 0x7F}},
        {"float NaN", {kFloat, 1, 32}, 1, {f32({kNaN})}, {0xFF, 0x7F}},
        {"float -3.0", {kFloat, 1, 32}, 1, {f32({-3.0f})}, {0x00, 0x80}},
        {"float -1.0", {kFloat, 1, 32}, 1, {f32({-1.0f})}, {0x00, 0x80}},
        {"float -0.00001", {kFloat, 1, 32}, 1, {f32({-0.00001f})}, {0x00, 0x00}},
        {"float two frames", {kFloat, 1, 32}, 2, {f32({0.5f, -0.5f})}, {0xFF, 0x3F, 0x00, 0xC0}},
        {"16-bit -3 -2", {kSigned, 2, 16}, 1, {s16({-3, -2})}, {0xFE, 0xFF}},
        {"16-bit -3 2", {kSigned, 2, 16}, 1, {s16({-3, 2})}, {0x00, 0x00}},
        {"16-bit non-interleaved, one buffer", {kSigned | kPlanar, 2, 16}, 1, {s16({1000})}, {0xF4, 0x01}},
        {"16-bit mono three frames", {kSigned, 1, 16}, 3, {s16({100, -1, 32767})},
         {0x64, 0x00, 0xFF, 0xFF, 0xFF, 0x7F}},
    };
    for (const ConversionCase& c : cases) expectConverts(c);
}

TEST(PcmConversion, FormatAndLayoutEdgeCases) {
    const Bytes silence4 = {0, 0, 0, 0};
    const ConversionCase cases[] = {
        {"0 channels count as 1", {kFloat, 0, 32}, 1, {f32({0.5f})}, {0xFF, 0x3F}},
        // Formats outside the two paths are silence of full length, not nothing.
        {"8-bit integers", {kSigned, 1, 8}, 2, {Bytes{0x40, 0x40}}, silence4},
        {"24-bit integers", {kSigned, 1, 24}, 2, {Bytes{1, 2, 3, 4, 5, 6}}, silence4},
        {"32-bit integers", {kSigned, 1, 32}, 2, {nativeBytes<std::int32_t>({1 << 20, -(1 << 20)})}, silence4},
        {"64-bit floats", {kFloat, 1, 64}, 2, {nativeBytes<double>({0.5, -0.5})}, silence4},
        {"unsigned 16-bit", {0, 1, 16}, 2, {s16({1000, 2000})}, silence4},
        {"16-bit floats", {kFloat, 1, 16}, 2, {s16({0x3800, 0x3800})}, silence4},
        {"float and signed, 16 bits: integer", {kFloat | kSigned, 1, 16}, 2, {s16({1000, -1000})},
         {0xE8, 0x03, 0x18, 0xFC}},
        {"float and signed, 32 bits: float", {kFloat | kSigned, 1, 32}, 1, {f32({0.5f})}, {0xFF, 0x3F}},
        {"big-endian flag, float", {kFloat | kBigEndian, 1, 32}, 1, {f32({0.5f})}, {0xFF, 0x3F}},
        {"big-endian flag, 16-bit", {kSigned | kBigEndian, 1, 16}, 1, {s16({0x0102})}, {0x02, 0x01}},
        {"interleaved, empty list", {kFloat, 2, 32}, 3, {}, {0, 0, 0, 0, 0, 0}},
        {"interleaved 16-bit, empty list", {kSigned, 1, 16}, 2, {}, silence4},
        {"interleaved, null first buffer", {kSigned, 2, 16}, 2, {std::nullopt, s16({7, 7, 7, 7})}, silence4},
        // Missing channels are silence but still count in the divisor.
        {"non-interleaved, 2 of 4 buffers", {kFloat | kPlanar, 4, 32}, 1, {f32({0.5f}), f32({0.5f})},
         {0xFF, 0x1F}},
        {"non-interleaved, null float buffer", {kFloat | kPlanar, 2, 32}, 1, {std::nullopt, f32({0.5f})},
         {0xFF, 0x1F}},
        {"non-interleaved, null 16-bit buffer", {kSigned | kPlanar, 2, 16}, 1, {std::nullopt, s16({-7})},
         {0xFD, 0xFF}},
        {"non-interleaved, all null", {kSigned | kPlanar, 3, 16}, 2, {std::nullopt, std::nullopt}, silence4},
        {"non-interleaved mono", {kFloat | kPlanar, 1, 32}, 2, {f32({0.5f, -0.5f})}, {0xFF, 0x3F, 0x00, 0xC0}},
    };
    for (const ConversionCase& c : cases) expectConverts(c);
}

TEST(PcmConversion, FloatQuantisation) {
    struct Case {
        float mean;
        std::int16_t sample;
    };
    const Case cases[] = {
        {1.0f, 32767},          {1.0000001f, 32767},    {kInf, 32767},       {kNaN, 32767},
        {-kNaN, 32767},         {0.99999994f, 32766},   {0.5f, 16383},       {0.0f, 0},
        {-0.0f, 0},             {-1e-5f, 0},            {-1.0f / 32768, -1}, {-0.99999994f, -32767},
        {-1.0f, -32768},        {-1.0000001f, -32768},  {-kInf, -32768},     {1.0f / 32767, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "mean " << c.mean);
        HandBuiltList list({f32({c.mean})});
        EXPECT_EQ(mix(1, 1, 32, kFloat, list.buffers()), chunkOf({c.sample}));
    }
}

// Sums that come out differently when the arithmetic strays from a single-precision sum in
// channel order followed by a true division.
TEST(PcmConversion, FloatMeanArithmetic) {
    struct Case {
        const char* name;
        float a, b, c;
        std::int16_t sample;
    };
    const Case cases[] = {
        {"division, not a reciprocal", 0.0852328539f, 0.953869104f, 0.768112421f, 19738},
        {"single-precision sum", 0.946213007f, 0.621887445f, 0.510209918f, 22700},
        {"channel order", -0.862612665f, -0.989468098f, 0.991668224f, -9398},
        {"single-precision sum, negative", -0.735758841f, -0.264640689f, -0.390469551f, -15192},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HandBuiltList interleaved({f32({c.a, c.b, c.c})});
        EXPECT_EQ(mix(1, 3, 32, kFloat, interleaved.buffers()), chunkOf({c.sample}));
        HandBuiltList planar({f32({c.a}), f32({c.b}), f32({c.c})});
        EXPECT_EQ(mix(1, 3, 32, kFloat | kPlanar, planar.buffers()), chunkOf({c.sample}));
    }
}

TEST(PcmConversion, IntegerMeanTruncatesTowardZero) {
    struct Case {
        std::int64_t channels;
        std::vector<std::int16_t> frame;
        std::int16_t sample;
    };
    const Case cases[] = {
        {2, {-3, -2}, -2},
        {2, {3, 2}, 2},
        {3, {-1, -1, 0}, 0},
        {3, {5, 5, -1}, 3},
        {2, {-32768, -32768}, -32768},
        {2, {32767, 32767}, 32767},
        {3, {-32768, -32768, -32767}, -32767},
        {5, {-32768, -32768, -32768, -32768, -32768}, -32768},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.channels << " channels, first " << c.frame[0]);
        Bytes interleavedBytes(c.frame.size() * 2);
        std::memcpy(interleavedBytes.data(), c.frame.data(), interleavedBytes.size());
        HandBuiltList interleaved({interleavedBytes});
        EXPECT_EQ(mix(1, c.channels, 16, kSigned, interleaved.buffers()), chunkOf({c.sample}));

        std::vector<std::optional<Bytes>> planes;
        for (const std::int16_t value : c.frame) planes.emplace_back(s16({value}));
        HandBuiltList planar(planes);
        EXPECT_EQ(mix(1, c.channels, 16, kSigned | kPlanar, planar.buffers()), chunkOf({c.sample}));
    }
}

TEST(PcmConversion, OnlyTheFirstChannelCountBuffersAreRead) {
    HandBuiltList floats({f32({0.5f}), f32({0.25f}), f32({1.0f}), f32({-1.0f})});
    EXPECT_EQ(mix(1, 2, 32, kFloat | kPlanar, floats.buffers()), chunkOf({12287}));  // 0.375 x 32767
    HandBuiltList ints({s16({100}), s16({-30000}), s16({30000})});
    EXPECT_EQ(mix(1, 1, 16, kSigned | kPlanar, ints.buffers()), chunkOf({100}));
    EXPECT_EQ(mix(1, 2, 16, kSigned | kPlanar, ints.buffers()), chunkOf({-14950}));
}

// Long buffers run the vectorised loops and their remainders; every frame must come out as it
// does when converted on its own, whatever the layout carrying it.
TEST(PcmConversion, LongBuffersMatchFrameByFrameConversion) {
    std::vector<float> signal;
    for (int i = 0; i < 1031; ++i) signal.push_back(-1.5f + 3.0f * static_cast<float>(i) / 1030.0f);
    signal[17] = kNaN;
    signal[18] = kInf;
    signal[19] = -kInf;
    signal[20] = -0.0f;

    Bytes expected;
    for (const float value : signal) {
        HandBuiltList one({f32({value})});
        const Bytes sample = mix(1, 1, 32, kFloat, one.buffers());
        expected.insert(expected.end(), sample.begin(), sample.end());
    }
    const auto frames = static_cast<std::int64_t>(signal.size());
    Bytes mono(signal.size() * 4), stereo(signal.size() * 8);
    std::memcpy(mono.data(), signal.data(), mono.size());
    for (std::size_t i = 0; i < signal.size(); ++i) {
        std::memcpy(&stereo[8 * i], &signal[i], 4);
        std::memcpy(&stereo[8 * i + 4], &signal[i], 4);
    }

    for (const std::size_t offset : {0u, 1u, 3u}) {  // misaligned data must not matter
        SCOPED_TRACE(::testing::Message() << "offset " << offset);
        EXPECT_EQ(mix(frames, 1, 32, kFloat, HandBuiltList({mono}, offset).buffers()), expected);
        EXPECT_EQ(mix(frames, 2, 32, kFloat, HandBuiltList({stereo}, offset).buffers()), expected);
        EXPECT_EQ(mix(frames, 2, 32, kFloat | kPlanar, HandBuiltList({mono, mono}, offset).buffers()), expected);
    }
}

TEST(PcmConversion, SixteenBitMonoPassesThroughUnchanged) {
    std::vector<std::int16_t> every;
    for (int value = -32768; value <= 32767; ++value) every.push_back(static_cast<std::int16_t>(value));
    Bytes input(every.size() * 2), stereo(every.size() * 4);
    std::memcpy(input.data(), every.data(), input.size());
    for (std::size_t i = 0; i < every.size(); ++i) {
        std::memcpy(&stereo[4 * i], &every[i], 2);
        std::memcpy(&stereo[4 * i + 2], &every[i], 2);
    }
    const auto frames = static_cast<std::int64_t>(every.size());
    const Bytes expected = chunkOf(every);

    for (const std::size_t offset : {0u, 1u}) {
        SCOPED_TRACE(::testing::Message() << "offset " << offset);
        EXPECT_EQ(mix(frames, 1, 16, kSigned, HandBuiltList({input}, offset).buffers()), expected);
        EXPECT_EQ(mix(frames, 2, 16, kSigned, HandBuiltList({stereo}, offset).buffers()), expected);
        EXPECT_EQ(mix(frames, 2, 16, kSigned | kPlanar, HandBuiltList({input, input}, offset).buffers()), expected);
    }
}

// --- Buffers shorter than the description ---

// Every plane is an exact heap allocation: a read past dataByteSize is an ASan failure, and the
// elements that are not there must read as 0.
TEST(PcmConversion, ShortBuffersReadAsSilenceBeyondTheirEnd) {
    struct Case {
        const char* name;
        std::int64_t frames;
        std::int64_t channels;
        std::uint32_t bits;
        std::uint32_t flags;
        std::vector<std::optional<Bytes>> planes;
        std::vector<std::int16_t> expected;
    };
    const Case cases[] = {
        {"16-bit stereo, 2.5 frames and a stray byte", 4, 2, 16, kSigned,
         {plusBytes(s16({10, 20, 30, 40, 50}), 1)}, {15, 35, 25, 0}},
        {"16-bit mono, odd size", 3, 1, 16, kSigned, {plusBytes(s16({-5}), 1)}, {-5, 0, 0}},
        {"16-bit mono, none at all", 2, 1, 16, kSigned, {Bytes{}}, {0, 0}},
        {"16-bit three channels, partial last frame", 3, 3, 16, kSigned,
         {s16({3, 3, 3, 9, 9, 9, 300})}, {3, 9, 100}},
        {"float mono, 2 frames and 3 bytes", 3, 1, 32, kFloat, {plusBytes(f32({0.5f, -0.5f}), 3)},
         {16383, -16384, 0}},
        {"float mono, zero size", 2, 1, 32, kFloat, {Bytes{}}, {0, 0}},
        {"float stereo, half a frame", 2, 2, 32, kFloat, {f32({0.5f})}, {8191, 0}},
        {"float planar, right shorter", 20, 2, 32, kFloat | kPlanar,
         {f32({0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f}), f32({0.5f, 0.5f, 0.5f})},
         {16383, 16383, 16383, 8191, 8191, 8191, 8191, 8191, 8191, 8191, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"16-bit planar, left shorter", 12, 2, 16, kSigned | kPlanar,
         {s16({300, 300, 300, 300, 300, 300, 300}), s16({100, 100, 100, 100, 100, 100, 100, 100, 100, 100})},
         {200, 200, 200, 200, 200, 200, 200, 50, 50, 50, 0, 0}},
        {"16-bit planar, odd sizes", 3, 2, 16, kSigned | kPlanar,
         {plusBytes(s16({40}), 1), plusBytes(s16({20, 20}), 1)}, {30, 10, 0}},
        {"16-bit planar, three of mixed length", 4, 3, 16, kSigned | kPlanar,
         {s16({30, 30, 30}), Bytes{}, s16({60})}, {30, 10, 10, 0}},
        {"float planar, zero-size plane", 2, 2, 32, kFloat | kPlanar, {Bytes{}, f32({1.0f, 1.0f})},
         {16383, 16383}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HandBuiltList list(c.planes);
        EXPECT_EQ(mix(c.frames, c.channels, c.bits, c.flags, list.buffers()), chunkOf(c.expected));
    }
}

TEST(PcmConversion, AbsurdCountsStayInBounds) {
    constexpr std::int64_t kHuge = std::numeric_limits<std::int64_t>::max();
    HandBuiltList ints({s16({32767, 32767, 32767, 32767})});
    HandBuiltList floats({f32({1.0f, 1.0f})});
    HandBuiltList planar({f32({1.0f}), f32({1.0f})});

    // A channel count no buffer could hold: every mean is a sliver of the few samples present.
    EXPECT_EQ(mix(2, kHuge, 16, kSigned, ints.buffers()), chunkOf({0, 0}));
    EXPECT_EQ(mix(2, kHuge, 32, kFloat, floats.buffers()), chunkOf({0, 0}));
    EXPECT_EQ(mix(2, kHuge, 32, kFloat | kPlanar, planar.buffers()), chunkOf({0, 0}));
    EXPECT_EQ(mix(2, 0xFFFFFFFF, 16, kSigned | kPlanar, ints.buffers()), chunkOf({0, 0}));

    // Channel counts below 1 count as 1.
    EXPECT_EQ(mix(1, 0, 32, kFloat, floats.buffers()), chunkOf({32767}));
    EXPECT_EQ(mix(1, -7, 32, kFloat | kPlanar, floats.buffers()), chunkOf({32767}));

    // The output span bounds the writes, whatever frame count comes with it.
    ExactBytes output(Bytes(4, 0xAB));
    std::uint8_t* writable = output.data();
    mixToMonoPCM16(kHuge, 1, 16, false, true, false, ints.buffers(), {writable, 4});
    EXPECT_EQ(Bytes(writable, writable + 4), chunkOf({32767, 32767}));
    mixToMonoPCM16(kHuge, 3, 32, true, false, false, floats.buffers(), {writable, 3});
    EXPECT_EQ(Bytes(writable, writable + 4), (Bytes{0x54, 0x55, 0xFF, 0x7F}));  // 2/3 x 32767 = 21844

    // No frames: nothing is written.
    Bytes untouched(4, 0xAB);
    mixToMonoPCM16(0, 1, 16, false, true, false, ints.buffers(), untouched);
    mixToMonoPCM16(-1, 1, 16, false, true, false, ints.buffers(), untouched);
    mixToMonoPCM16(std::numeric_limits<std::int64_t>::min(), 1, 16, false, true, false, ints.buffers(), untouched);
    EXPECT_EQ(untouched, Bytes(4, 0xAB));
}

// --- The platform step ---

TEST(PcmConversion, NothingForUnreadableBuffersAndNoFill) {
    struct Case {
        const char* name;
        bool formatDescription;
        std::optional<StreamDescription> description;
        std::int64_t frames;
    };
    const StreamDescription mono16{kSigned, 1, 16};
    const Case cases[] = {
        {"no format description", false, mono16, 10},
        {"not an audio description", true, std::nullopt, 10},
        {"no frames", true, mono16, 0},
        {"negative frame count", true, mono16, -1},
        {"most negative frame count", true, mono16, std::numeric_limits<std::int64_t>::min()},
        {"frame count past the cap", true, mono16, (std::int64_t{1} << 24) + 1},
        {"largest frame count", true, mono16, std::numeric_limits<std::int64_t>::max()},
        {"channel count past the cap", true, StreamDescription{kSigned, 0x10000, 16}, 10},
        {"largest channel count", true, StreamDescription{kFloat | kPlanar, 0xFFFFFFFF, 32}, 10},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeSampleBuffer buffer;
        buffer.formatDescription = c.formatDescription;
        buffer.description = c.description;
        buffer.frames = c.frames;
        buffer.planes = {s16({1, 2, 3, 4, 5, 6, 7, 8, 9, 10})};
        EXPECT_EQ(sampleBufferPCMData(buffer), std::nullopt);
        EXPECT_EQ(buffer.fillCalls, 0);
    }
}

TEST(PcmConversion, FailedFillGivesNothingAndReleasesTheBlock) {
    for (const bool setsBlock : {true, false}) {
        SCOPED_TRACE(setsBlock ? "fill set a block" : "fill set no block");
        FakeSampleBuffer buffer;
        buffer.description = StreamDescription{kFloat | kPlanar, 2, 32};
        buffer.frames = 1;
        buffer.fillStatus = -12737;  // kCMSampleBufferError_ArrayTooSmall
        buffer.fillSetsBlock = setsBlock;
        EXPECT_EQ(sampleBufferPCMData(buffer), std::nullopt);
        EXPECT_EQ(buffer.fillCalls, 1);
        EXPECT_EQ(*buffer.blockReleases, setsBlock ? 1 : 0);
    }
}

TEST(PcmConversion, ListHasRoomForEveryChannelAndBlockIsReleasedOnce) {
    struct Case {
        std::uint32_t flags;
        std::uint32_t channelsPerFrame;
        std::size_t room;
    };
    const Case cases[] = {
        {kFloat, 0, 1},         {kFloat, 1, 1},          {kFloat | kPlanar, 2, 2},
        {kFloat, 6, 6},         {kFloat | kPlanar, 6, 6}, {kFloat | kPlanar, 0xFFFF, 0xFFFF},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.channelsPerFrame << " channels, flags " << c.flags);
        FakeSampleBuffer buffer;
        buffer.description = StreamDescription{c.flags, c.channelsPerFrame, 32};
        buffer.frames = 3;
        buffer.planes = {f32({1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f})};
        const std::optional<PcmChunk> chunk = sampleBufferPCMData(buffer);
        ASSERT_TRUE(chunk.has_value());
        EXPECT_EQ(chunk->size(), 6u);
        EXPECT_EQ(buffer.fillCalls, 1);
        EXPECT_EQ(buffer.listRoom, c.room);
        EXPECT_EQ(*buffer.blockReleases, 1);
    }
}

TEST(PcmConversion, LargestAcceptedFrameCountGivesAFullChunk) {
    FakeSampleBuffer buffer;
    buffer.description = StreamDescription{kSigned, 1, 16};
    buffer.frames = std::int64_t{1} << 24;
    buffer.planes = {s16({-2, 3})};
    const std::optional<PcmChunk> chunk = sampleBufferPCMData(buffer);
    ASSERT_TRUE(chunk.has_value());
    ASSERT_EQ(chunk->size(), std::size_t{2} << 24);
    EXPECT_EQ(Bytes(chunk->begin(), chunk->begin() + 6), chunkOf({-2, 3, 0}));
    EXPECT_EQ(chunk->back(), 0);
    EXPECT_EQ(*buffer.blockReleases, 1);
}

}  // namespace
}  // namespace quorvia

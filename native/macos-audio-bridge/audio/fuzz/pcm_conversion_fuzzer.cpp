// Hostile sample buffers for the conversion: any description, any frame count, lists of 0..8
// buffers with null, short, odd-sized or misaligned data. Each plane is an exact heap allocation,
// so ASan reports any read past it. The output is checked against a frame-by-frame reading of the
// mixing rules, which shares no code with the conversion's fast loops.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <vector>

#include "audio/pcm_conversion.h"

namespace {

using quorvia::platform::AudioBuffer;

void check(bool condition) {
    if (!condition) std::abort();
}

class Plane {
public:
    Plane(const std::vector<std::uint8_t>& bytes, std::size_t offset)
        : storage_(new std::uint8_t[offset + bytes.size()]), offset_(offset), size_(bytes.size()) {
        if (size_ > 0) std::memcpy(storage_.get() + offset_, bytes.data(), size_);
    }
    AudioBuffer entry() const { return {1, static_cast<std::uint32_t>(size_), storage_.get() + offset_}; }

private:
    std::unique_ptr<std::uint8_t[]> storage_;
    std::size_t offset_;
    std::size_t size_;
};

// A list as a platform (or a hostile one) might hand it over.
struct FuzzList {
    std::vector<std::unique_ptr<Plane>> planes;
    std::vector<AudioBuffer> entries;
};

FuzzList consumeList(FuzzedDataProvider& in) {
    FuzzList list;
    const int count = in.ConsumeIntegralInRange(0, 8);
    for (int i = 0; i < count; ++i) {
        if (in.ConsumeIntegralInRange(0, 7) == 0) {
            list.entries.push_back({1, in.ConsumeIntegral<std::uint32_t>(), nullptr});
            continue;
        }
        const auto offset = in.ConsumeIntegralInRange<std::size_t>(0, 3);
        const auto size = in.ConsumeIntegralInRange<std::size_t>(0, 4096);
        std::vector<std::uint8_t> bytes = in.ConsumeBytes<std::uint8_t>(size);
        list.planes.push_back(std::make_unique<Plane>(bytes, offset));
        list.entries.push_back(list.planes.back()->entry());
    }
    return list;
}

std::int64_t consumeFrameCount(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange(0, 3)) {
        case 0: return in.ConsumeIntegral<std::int64_t>();
        case 1: return in.ConsumeIntegralInRange<std::int64_t>(-2, 4);
        default: return in.ConsumeIntegralInRange<std::int64_t>(1, 2048);
    }
}

std::uint32_t consumeBits(FuzzedDataProvider& in) {
    constexpr std::uint32_t kCommon[] = {16, 32, 16, 32, 8, 24, 64};
    const int pick = in.ConsumeIntegralInRange(0, 7);
    return pick < 7 ? kCommon[pick] : in.ConsumeIntegral<std::uint32_t>();
}

// --- The rules, frame by frame ---

std::int16_t quantise(float mean) {
    if (std::isnan(mean) || mean >= 1.0f) return 32767;
    if (mean >= 0.0f) return static_cast<std::int16_t>(mean * 32767.0f);
    if (mean >= -1.0f) return static_cast<std::int16_t>(mean * 32768.0f);
    return -32768;
}

// Element `index` of `buffer`, or nothing when it lies outside dataByteSize.
template <typename T>
std::optional<T> element(const AudioBuffer& buffer, unsigned __int128 index) {
    if (buffer.data == nullptr || (index + 1) * sizeof(T) > buffer.dataByteSize) return std::nullopt;
    T value;
    std::memcpy(&value, static_cast<const std::uint8_t*>(buffer.data) + static_cast<std::size_t>(index) * sizeof(T),
                sizeof(T));
    return value;
}

template <typename T, typename Sum>
Sum frameSum(std::uint64_t frame, std::int64_t channels, bool planar, const std::vector<AudioBuffer>& buffers) {
    Sum sum = 0;
    if (planar) {
        const auto used = std::min<std::uint64_t>(buffers.size(), static_cast<std::uint64_t>(channels));
        for (std::uint64_t j = 0; j < used; ++j) {
            if (auto value = element<T>(buffers[j], frame)) sum += *value;
        }
    } else if (!buffers.empty()) {
        // Channels may be absurdly many: walk only as far as the buffer reaches.
        const unsigned __int128 first = static_cast<unsigned __int128>(frame) * static_cast<std::uint64_t>(channels);
        for (std::uint64_t j = 0; j < static_cast<std::uint64_t>(channels); ++j) {
            const auto value = element<T>(buffers[0], first + j);
            if (!value) break;
            sum += *value;
        }
    }
    return sum;
}

std::vector<std::uint8_t> referenceMix(std::uint64_t frames, std::int64_t channelCount, std::uint32_t bits,
                                       bool isFloat, bool isSigned, bool planar,
                                       const std::vector<AudioBuffer>& buffers) {
    const std::int64_t channels = channelCount > 1 ? channelCount : 1;
    std::vector<std::uint8_t> out;
    for (std::uint64_t i = 0; i < frames; ++i) {
        std::int16_t sample = 0;
        if (isFloat && bits == 32) {
            sample = quantise(frameSum<float, float>(i, channels, planar, buffers) / static_cast<float>(channels));
        } else if (isSigned && bits == 16) {
            sample = static_cast<std::int16_t>(frameSum<std::int16_t, std::int64_t>(i, channels, planar, buffers) /
                                               channels);
        }
        const auto bits16 = static_cast<std::uint16_t>(sample);
        out.push_back(static_cast<std::uint8_t>(bits16 & 0xFF));
        out.push_back(static_cast<std::uint8_t>(bits16 >> 8));
    }
    return out;
}

// --- The platform step ---

class FuzzSampleBuffer final : public quorvia::platform::SampleBuffer {
public:
    bool formatDescription = true;
    std::optional<quorvia::platform::StreamDescription> description;
    std::int64_t frames = 0;
    std::int32_t status = 0;
    bool setsBlock = true;
    std::uint32_t reportedCount = 0;
    FuzzList list;

    mutable int fillCalls = 0;
    mutable std::vector<AudioBuffer> filled;
    std::shared_ptr<int> releases = std::make_shared<int>(0);

    bool hasFormatDescription() const override { return formatDescription; }
    std::optional<quorvia::platform::StreamDescription> audioStreamDescription() const override {
        return description;
    }
    std::int64_t numSamples() const override { return frames; }

    std::int32_t fillAudioBufferList(quorvia::platform::AudioBufferList& target,
                                     std::unique_ptr<quorvia::platform::RetainedBlockBuffer>& block) const override {
        ++fillCalls;
        const std::size_t count = std::min(list.entries.size(), target.buffers.size());
        std::copy_n(list.entries.begin(), count, target.buffers.begin());
        // A count beyond the entries written, as a broken platform might report.
        target.numberBuffers = reportedCount;
        filled.assign(target.filled().begin(), target.filled().end());
        if (setsBlock) block = std::make_unique<Block>(releases);
        return status;
    }

private:
    struct Block final : quorvia::platform::RetainedBlockBuffer {
        explicit Block(std::shared_ptr<int> counter) : releases(std::move(counter)) {}
        ~Block() override { ++*releases; }
        std::shared_ptr<int> releases;
    };
};

void fuzzPlatformStep(FuzzedDataProvider& in) {
    FuzzSampleBuffer buffer;
    const int kind = in.ConsumeIntegralInRange(0, 15);
    buffer.formatDescription = kind != 0;
    if (kind != 1) {
        quorvia::platform::StreamDescription description;
        description.formatFlags = in.ConsumeIntegral<std::uint32_t>();
        description.channelsPerFrame = in.ConsumeBool() ? in.ConsumeIntegralInRange<std::uint32_t>(0, 8)
                                                        : in.ConsumeIntegral<std::uint32_t>();
        description.bitsPerChannel = consumeBits(in);
        buffer.description = description;
    }
    buffer.frames = consumeFrameCount(in);
    buffer.status = in.ConsumeIntegralInRange(0, 7) == 0 ? in.ConsumeIntegral<std::int32_t>() : 0;
    buffer.setsBlock = in.ConsumeIntegralInRange(0, 7) != 0;
    buffer.list = consumeList(in);
    buffer.reportedCount = in.ConsumeBool() ? static_cast<std::uint32_t>(buffer.list.entries.size())
                                            : in.ConsumeIntegralInRange<std::uint32_t>(0, 16);

    const std::optional<quorvia::PcmChunk> chunk = quorvia::sampleBufferPCMData(buffer);

    check(buffer.fillCalls <= 1);
    check(*buffer.releases == (buffer.fillCalls == 1 && buffer.setsBlock ? 1 : 0));
    if (!buffer.formatDescription || !buffer.description || buffer.frames <= 0) check(buffer.fillCalls == 0);
    if (!chunk) return;

    const quorvia::platform::StreamDescription& d = *buffer.description;
    check(buffer.fillCalls == 1 && buffer.status == 0);
    check(chunk->size() == 2 * static_cast<std::uint64_t>(buffer.frames));
    // No plane reaches past frame 4096, so every later sample is silence.
    const std::uint64_t checked = std::min<std::uint64_t>(static_cast<std::uint64_t>(buffer.frames), 8192);
    const std::vector<std::uint8_t> expected =
        referenceMix(checked, d.channelsPerFrame, d.bitsPerChannel,
                     (d.formatFlags & quorvia::platform::kFormatFlagIsFloat) != 0,
                     (d.formatFlags & quorvia::platform::kFormatFlagIsSignedInteger) != 0,
                     (d.formatFlags & quorvia::platform::kFormatFlagIsNonInterleaved) != 0, buffer.filled);
    check(std::equal(expected.begin(), expected.end(), chunk->begin()));
    check(std::all_of(chunk->begin() + static_cast<std::ptrdiff_t>(expected.size()), chunk->end(),
                      [](std::uint8_t byte) { return byte == 0; }));
}

// --- The mixing step on a hand-built list ---

void fuzzMixing(FuzzedDataProvider& in) {
    const std::int64_t frames = consumeFrameCount(in);
    const std::int64_t channels = in.ConsumeBool() ? in.ConsumeIntegralInRange<std::int64_t>(-1, 8)
                                                   : in.ConsumeIntegral<std::int64_t>();
    const std::uint32_t bits = consumeBits(in);
    const bool isFloat = in.ConsumeBool();
    const bool isSigned = in.ConsumeBool();
    const bool planar = in.ConsumeBool();
    // Usually the exact 2 x frames bytes; sometimes a span that disagrees with the count.
    std::size_t outputSize = frames > 0 && frames <= 4096 ? static_cast<std::size_t>(2 * frames) : 0;
    if (in.ConsumeIntegralInRange(0, 3) == 0) outputSize = in.ConsumeIntegralInRange<std::size_t>(0, 8193);
    const FuzzList list = consumeList(in);

    auto output = std::make_unique<std::uint8_t[]>(outputSize + 1);
    std::memset(output.get(), 0xA5, outputSize + 1);
    quorvia::mixToMonoPCM16(frames, channels, bits, isFloat, isSigned, planar, list.entries, {output.get(), outputSize});

    const std::uint64_t written =
        frames <= 0 ? 0 : std::min<std::uint64_t>(static_cast<std::uint64_t>(frames), outputSize / 2);
    const std::vector<std::uint8_t> expected = referenceMix(written, channels, bits, isFloat, isSigned, planar,
                                                            list.entries);
    check(std::equal(expected.begin(), expected.end(), output.get()));
    for (std::size_t i = expected.size(); i <= outputSize; ++i) check(output[i] == 0xA5);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    if (in.ConsumeBool()) {
        fuzzPlatformStep(in);
    } else {
        fuzzMixing(in);
    }
    return 0;
}

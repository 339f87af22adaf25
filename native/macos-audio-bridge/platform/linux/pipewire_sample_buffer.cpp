#include "platform/linux/pipewire_sample_buffer.h"

namespace quorvia::platform::pipewire {
namespace {

class SharedSamples final : public RetainedBlockBuffer {
public:
    explicit SharedSamples(std::shared_ptr<const std::vector<std::byte>> samples) : samples_(std::move(samples)) {}

private:
    std::shared_ptr<const std::vector<std::byte>> samples_;
};

std::uint32_t bitsOf(SampleFormat sampleFormat) { return sampleFormat == SampleFormat::Float32 ? 32 : 16; }

}  // namespace

StreamDescription streamDescriptionFor(SampleFormat sampleFormat, std::uint32_t channels) {
    const std::uint32_t kind = sampleFormat == SampleFormat::Float32 ? kFormatFlagIsFloat : kFormatFlagIsSignedInteger;
    return {.formatFlags = kind | kFormatFlagIsPacked, .channelsPerFrame = channels, .bitsPerChannel = bitsOf(sampleFormat)};
}

std::uint32_t bytesPerFrame(const NegotiatedFormat& format) { return format.channels * bitsOf(format.sampleFormat) / 8; }

PipeWireSampleBuffer::PipeWireSampleBuffer(const NegotiatedFormat& format, std::span<const std::byte> samples)
    : description_(streamDescriptionFor(format.sampleFormat, format.channels)) {
    const std::uint32_t frameBytes = bytesPerFrame(format);
    frames_ = frameBytes == 0 ? 0 : static_cast<std::int64_t>(samples.size() / frameBytes);
    samples_ = std::make_shared<const std::vector<std::byte>>(
        samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(frames_ * frameBytes));
}

std::int32_t PipeWireSampleBuffer::fillAudioBufferList(AudioBufferList& list,
                                                       std::unique_ptr<RetainedBlockBuffer>& block) const {
    if (list.buffers.empty()) {
        return kSampleBufferErrorArrayTooSmall;
    }
    list.numberBuffers = 1;
    list.buffers[0] = {.numberChannels = description_.channelsPerFrame,
                       .dataByteSize = static_cast<std::uint32_t>(samples_->size()),
                       .data = samples_->data()};
    block = std::make_unique<SharedSamples>(samples_);
    return 0;
}

}  // namespace quorvia::platform::pipewire

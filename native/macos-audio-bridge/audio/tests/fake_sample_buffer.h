#pragma once

// A sample buffer whose samples live in the block it hands out, as CoreMedia's do: destroying the
// block scribbles over the samples and frees them, so a conversion that reads after releasing it
// gets wrong bytes (and a use-after-free under ASan). Records what the conversion asked of it.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "platform/sample_buffer.h"

namespace quorvia::testing {

using Bytes = std::vector<std::uint8_t>;

// One heap allocation of exactly the plane's size, so ASan sees any read past its end.
class ExactBytes {
public:
    explicit ExactBytes(const Bytes& bytes, std::size_t offset = 0)
        : storage_(new std::uint8_t[offset + bytes.size()]), offset_(offset), size_(bytes.size()) {
        if (size_ > 0) std::memcpy(storage_.get() + offset_, bytes.data(), size_);
    }
    const std::uint8_t* data() const { return storage_.get() + offset_; }
    std::uint8_t* data() { return storage_.get() + offset_; }
    std::uint32_t size() const { return static_cast<std::uint32_t>(size_); }
    void scribble() { std::memset(storage_.get(), 0x55, offset_ + size_); }

private:
    std::unique_ptr<std::uint8_t[]> storage_;
    std::size_t offset_;
    std::size_t size_;
};

class FakeSampleBuffer final : public platform::SampleBuffer {
public:
    // What the platform reports.
    bool formatDescription = true;
    std::optional<platform::StreamDescription> description;
    std::int64_t frames = 0;
    // One entry per delivered buffer; nullopt delivers a null data address.
    std::vector<std::optional<Bytes>> planes;
    std::int32_t fillStatus = 0;
    bool fillSetsBlock = true;

    // What the conversion did.
    mutable int fillCalls = 0;
    mutable std::size_t listRoom = 0;
    std::shared_ptr<int> blockReleases = std::make_shared<int>(0);

    bool hasFormatDescription() const override { return formatDescription; }
    std::optional<platform::StreamDescription> audioStreamDescription() const override { return description; }
    std::int64_t numSamples() const override { return frames; }

    std::int32_t fillAudioBufferList(platform::AudioBufferList& list,
                                     std::unique_ptr<platform::RetainedBlockBuffer>& block) const override {
        ++fillCalls;
        listRoom = list.buffers.size();
        if (fillSetsBlock) {
            auto owned = std::make_unique<Block>(blockReleases);
            if (fillStatus == 0) {
                // Like CoreMedia, never more buffers than the storage has room for.
                const std::size_t count = std::min(planes.size(), list.buffers.size());
                for (std::size_t i = 0; i < count; ++i) {
                    platform::AudioBuffer& entry = list.buffers[i];
                    entry = {};
                    if (planes[i]) {
                        owned->samples.emplace_back(std::make_unique<ExactBytes>(*planes[i]));
                        entry.numberChannels = 1;
                        entry.dataByteSize = owned->samples.back()->size();
                        entry.data = owned->samples.back()->data();
                    }
                }
                list.numberBuffers = static_cast<std::uint32_t>(count);
            }
            block = std::move(owned);
        }
        return fillStatus;
    }

private:
    struct Block final : platform::RetainedBlockBuffer {
        explicit Block(std::shared_ptr<int> releaseCounter) : releases(std::move(releaseCounter)) {}
        ~Block() override {
            ++*releases;
            for (auto& plane : samples) plane->scribble();
        }
        std::shared_ptr<int> releases;
        std::vector<std::unique_ptr<ExactBytes>> samples;
    };
};

}  // namespace quorvia::testing

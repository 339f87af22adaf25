#include "platform/apple/core_media_sample_buffer.h"

#import <CoreAudioTypes/CoreAudioTypes.h>
#import <CoreFoundation/CoreFoundation.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <type_traits>

namespace quorvia::platform::apple {

namespace {

// The block buffer comes back retained; destroying this releases it.
class CoreMediaBlockBuffer final : public RetainedBlockBuffer {
public:
    explicit CoreMediaBlockBuffer(CMBlockBufferRef retained) : buffer_(retained) {}

private:
    struct Release {
        void operator()(std::remove_pointer_t<CMBlockBufferRef>* buffer) const { CFRelease(buffer); }
    };
    std::unique_ptr<std::remove_pointer_t<CMBlockBufferRef>, Release> buffer_;
};

struct FreeStorage {
    void operator()(::AudioBufferList* list) const { std::free(list); }
};

}  // namespace

bool CoreMediaSampleBuffer::hasFormatDescription() const {
    return CMSampleBufferGetFormatDescription(sampleBuffer_) != nullptr;
}

std::optional<StreamDescription> CoreMediaSampleBuffer::audioStreamDescription() const {
    // Owned by the sample buffer, which outlives this call.
    CMFormatDescriptionRef format = CMSampleBufferGetFormatDescription(sampleBuffer_);
    if (format == nullptr) {
        return std::nullopt;
    }
    const AudioStreamBasicDescription* description = CMAudioFormatDescriptionGetStreamBasicDescription(format);
    if (description == nullptr) {
        return std::nullopt;
    }
    return StreamDescription{.formatFlags = description->mFormatFlags,
                             .channelsPerFrame = description->mChannelsPerFrame,
                             .bitsPerChannel = description->mBitsPerChannel};
}

std::int64_t CoreMediaSampleBuffer::numSamples() const {
    return static_cast<std::int64_t>(CMSampleBufferGetNumSamples(sampleBuffer_));
}

std::int32_t CoreMediaSampleBuffer::fillAudioBufferList(AudioBufferList& list,
                                                        std::unique_ptr<RetainedBlockBuffer>& block) const {
    // Room for as many buffers as the caller allotted: planar audio brings one per channel, and
    // a list that is too small gets kCMSampleBufferError_ArrayTooSmall and no samples at all.
    const std::size_t room = list.buffers.size();
    const std::size_t size = offsetof(::AudioBufferList, mBuffers) + room * sizeof(::AudioBuffer);
    std::unique_ptr<::AudioBufferList, FreeStorage> storage(
        static_cast<::AudioBufferList*>(std::calloc(1, std::max(size, sizeof(::AudioBufferList)))));
    if (!storage) {
        return kCMSampleBufferError_AllocationFailed;
    }

    CMBlockBufferRef blockBuffer = nullptr;
    const OSStatus status = CMSampleBufferGetAudioBufferListWithRetainedBlockBuffer(
        sampleBuffer_, nullptr, storage.get(), size, kCFAllocatorDefault, kCFAllocatorDefault,
        kCMSampleBufferFlag_AudioBufferList_Assure16ByteAlignment, &blockBuffer);
    if (blockBuffer != nullptr) {
        block = std::make_unique<CoreMediaBlockBuffer>(blockBuffer);
    }
    if (status != noErr) {
        return status;
    }

    const std::uint32_t filled = std::min<std::uint32_t>(storage->mNumberBuffers, static_cast<std::uint32_t>(room));
    const ::AudioBuffer* entries = storage->mBuffers;  // mNumberBuffers entries, not the declared one
    for (std::uint32_t i = 0; i < filled; ++i) {
        list.buffers[i] = AudioBuffer{.numberChannels = entries[i].mNumberChannels,
                                      .dataByteSize = entries[i].mDataByteSize,
                                      .data = entries[i].mData};
    }
    list.numberBuffers = filled;
    return status;
}

}  // namespace quorvia::platform::apple

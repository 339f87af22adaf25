#pragma once

#include <CoreAudioTypes/CoreAudioTypes.h>
#include <CoreFoundation/CoreFoundation.h>

#define CM_NULLABLE _Nullable
#define CM_NONNULL _Nonnull

CF_EXTERN_C_BEGIN
CF_ASSUME_NONNULL_BEGIN

// CMBase.h
typedef CFIndex CMItemCount;

// CMTime.h
typedef int64_t CMTimeValue;
typedef int32_t CMTimeScale;
typedef int64_t CMTimeEpoch;
typedef CF_ENUM(uint32_t, CMTimeFlags) {
    kCMTimeFlags_Valid = 1UL << 0,
};

#pragma pack(push, 4)
typedef struct {
    CMTimeValue value;
    CMTimeScale timescale;
    CMTimeFlags flags;
    CMTimeEpoch epoch;
} CMTime;
#pragma pack(pop)

CMTime CMTimeMake(int64_t value, int32_t timescale);

// CMFormatDescription.h
typedef const struct opaqueCMFormatDescription *CMFormatDescriptionRef;
typedef CMFormatDescriptionRef CMAudioFormatDescriptionRef;

const AudioStreamBasicDescription *CM_NULLABLE CMAudioFormatDescriptionGetStreamBasicDescription(
    CMAudioFormatDescriptionRef desc);

// CMBlockBuffer.h
typedef struct OpaqueCMBlockBuffer *CMBlockBufferRef;

// CMSampleBuffer.h
typedef struct opaqueCMSampleBuffer *CMSampleBufferRef;

CF_ENUM(OSStatus) {
    kCMSampleBufferError_AllocationFailed = -12730,
    kCMSampleBufferError_ArrayTooSmall = -12737,
};

CF_ENUM(uint32_t) {
    kCMSampleBufferFlag_AudioBufferList_Assure16ByteAlignment = (1L << 0),
};

CMFormatDescriptionRef CM_NULLABLE CMSampleBufferGetFormatDescription(CMSampleBufferRef sbuf);

CMItemCount CMSampleBufferGetNumSamples(CMSampleBufferRef sbuf);

OSStatus CMSampleBufferGetAudioBufferListWithRetainedBlockBuffer(
    CMSampleBufferRef sbuf, size_t *CM_NULLABLE bufferListSizeNeededOut,
    AudioBufferList *CM_NULLABLE bufferListOut, size_t bufferListSize,
    CFAllocatorRef CM_NULLABLE blockBufferStructureAllocator, CFAllocatorRef CM_NULLABLE blockBufferBlockAllocator,
    uint32_t flags, CMBlockBufferRef CM_NULLABLE *CM_NULLABLE blockBufferOut);

CF_ASSUME_NONNULL_END
CF_EXTERN_C_END

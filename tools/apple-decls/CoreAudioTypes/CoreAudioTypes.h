#pragma once

#include <CoreFoundation/CoreFoundation.h>

CF_ASSUME_NONNULL_BEGIN

typedef UInt32 AudioFormatID;
typedef UInt32 AudioFormatFlags;

struct AudioStreamBasicDescription {
    Float64 mSampleRate;
    AudioFormatID mFormatID;
    AudioFormatFlags mFormatFlags;
    UInt32 mBytesPerPacket;
    UInt32 mFramesPerPacket;
    UInt32 mBytesPerFrame;
    UInt32 mChannelsPerFrame;
    UInt32 mBitsPerChannel;
    UInt32 mReserved;
};
typedef struct AudioStreamBasicDescription AudioStreamBasicDescription;

struct AudioBuffer {
    UInt32 mNumberChannels;
    UInt32 mDataByteSize;
    void *_Nullable mData;
};
typedef struct AudioBuffer AudioBuffer;

// mBuffers is a variable-length array of mNumberBuffers entries.
struct AudioBufferList {
    UInt32 mNumberBuffers;
    AudioBuffer mBuffers[1];
};
typedef struct AudioBufferList AudioBufferList;

CF_ENUM(AudioFormatID) {
    kAudioFormatLinearPCM = 0x6C70636D,  // 'lpcm'
};

CF_ASSUME_NONNULL_END

#pragma once

#include <Foundation/Foundation.h>

NS_ASSUME_NONNULL_BEGIN

// AVAudioSettings.h: format settings.
extern NSString *const AVFormatIDKey;
extern NSString *const AVSampleRateKey;
extern NSString *const AVNumberOfChannelsKey;

// AVAudioSettings.h: linear PCM settings.
extern NSString *const AVLinearPCMBitDepthKey;
extern NSString *const AVLinearPCMIsBigEndianKey;
extern NSString *const AVLinearPCMIsFloatKey;
extern NSString *const AVLinearPCMIsNonInterleaved;

NS_ASSUME_NONNULL_END

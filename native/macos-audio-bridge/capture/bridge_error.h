#pragma once

#include <cstdint>
#include <string>

#include "platform/capture_error.h"

namespace quorvia {

inline constexpr const char* kBridgeErrorDomain = "QuorviaMacAudioBridge";

inline CaptureError bridgeError(std::int64_t code, std::string description) {
    return CaptureError{kBridgeErrorDomain, code, std::move(description)};
}

// Exit statuses of the BSD sysexits convention.
inline constexpr int kExitCaptureFailed = 78;  // EX_CONFIG

}  // namespace quorvia

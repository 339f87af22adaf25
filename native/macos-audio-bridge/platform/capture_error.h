#pragma once

#include <cstdint>
#include <string>

namespace quorvia {

// An error as a bridge reports it: one of its own (domain "QuorviaMacAudioBridge") or one the
// operating system raised, passed on unchanged. Only the description reaches the host.
struct CaptureError {
    std::string domain;
    std::int64_t code = 0;
    std::string localizedDescription;  // UTF-8 as far as the platform gives it
};

}  // namespace quorvia

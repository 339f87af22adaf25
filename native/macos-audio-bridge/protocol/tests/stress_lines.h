#pragma once

// The pcm lines that emit_stress_child writes from several threads, so a test can check each one.

#include <cstdint>
#include <string>
#include <vector>

#include "protocol/base64.h"
#include "protocol/messages.h"

namespace quorvia::testing {

// Mostly chunk-sized lines; every tenth is bigger than a pipe's atomic write size (PIPE_BUF,
// 4096 on Linux, 512 on macOS), where the kernel itself would interleave concurrent writers.
inline PcmMessage stressLine(int thread, int sequence) {
    const std::size_t size = sequence % 10 == 0 ? 7500 + static_cast<std::size_t>(sequence % 7) : 480 + static_cast<std::size_t>(sequence % 5);
    std::vector<std::uint8_t> bytes(size);
    std::uint32_t state = static_cast<std::uint32_t>(thread) * 2654435761u + static_cast<std::uint32_t>(sequence);
    for (std::uint8_t& b : bytes) {
        state = state * 1664525u + 1013904223u;
        b = static_cast<std::uint8_t>(state >> 24);
    }
    PcmMessage line;
    line.source = "t" + std::to_string(thread) + ":" + std::to_string(sequence);
    line.pcmBase64 = base64Encode(bytes);
    return line;
}

}  // namespace quorvia::testing

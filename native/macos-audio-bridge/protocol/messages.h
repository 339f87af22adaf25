#pragma once

// The three records of the host protocol and their JSON text: one compact object per record,
// members in declaration order, absent optionals left out.

#include <optional>
#include <string>

namespace quorvia {

struct ModeMessage {
    std::string type = "mode";
    std::optional<std::string> source;
    std::optional<std::string> message;
    std::optional<bool> dualChannel;
    std::optional<bool> native;
};

struct ErrorMessage {
    std::string type = "error";
    std::optional<std::string> source;
    std::string message;
    std::optional<bool> native;
};

struct PcmMessage {
    std::string type = "pcm";
    std::string source;
    std::string pcmBase64;
};

// The record's JSON text without a line feed. Throws std::bad_alloc if memory runs out.
std::string encode(const ModeMessage& record);
std::string encode(const ErrorMessage& record);
std::string encode(const PcmMessage& record);

}  // namespace quorvia

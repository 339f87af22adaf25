#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace quorvia {

// Standard base64 (RFC 4648 section 4): standard alphabet, "=" padding, no line breaks.
std::string base64Encode(std::span<const std::uint8_t> bytes);

}  // namespace quorvia

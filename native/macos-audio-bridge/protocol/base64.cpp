#include "protocol/base64.h"

namespace quorvia {

std::string base64Encode(std::span<const std::uint8_t> bytes) {
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const std::size_t size = bytes.size();
    std::string text((size + 2) / 3 * 4, '=');
    char* out = text.data();
    const std::uint8_t* in = bytes.data();

    // Each 3 bytes, as one 24-bit group, give 4 characters of 6 bits each.
    std::size_t i = 0;
    for (; i + 3 <= size; i += 3) {
        const std::uint32_t group = std::uint32_t{in[i]} << 16 | std::uint32_t{in[i + 1]} << 8 | in[i + 2];
        *out++ = kAlphabet[group >> 18];
        *out++ = kAlphabet[group >> 12 & 0x3F];
        *out++ = kAlphabet[group >> 6 & 0x3F];
        *out++ = kAlphabet[group & 0x3F];
    }
    // 1 or 2 bytes left: zero bits fill the last group, "=" (already in place) the missing characters.
    if (i < size) {
        const bool two = i + 1 < size;
        const std::uint32_t group = std::uint32_t{in[i]} << 16 | (two ? std::uint32_t{in[i + 1]} << 8 : 0);
        *out++ = kAlphabet[group >> 18];
        *out++ = kAlphabet[group >> 12 & 0x3F];
        if (two) *out = kAlphabet[group >> 6 & 0x3F];
    }
    return text;
}

}  // namespace quorvia

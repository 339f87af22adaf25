#include "protocol/base64.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace quorvia {
namespace {

std::vector<std::uint8_t> bytesOf(const std::string& text) { return {text.begin(), text.end()}; }

// Written apart from the encoder: one character at a time into a bit accumulator.
std::vector<std::uint8_t> decodeIndependently(const std::string& text) {
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::vector<std::uint8_t> bytes;
    std::uint32_t bits = 0;
    int bitCount = 0;
    for (char c : text) {
        if (c == '=') break;
        const std::size_t value = alphabet.find(c);
        if (value == std::string::npos) ADD_FAILURE() << "not in the alphabet: " << c;
        bits = (bits << 6) | static_cast<std::uint32_t>(value & 0x3F);
        bitCount += 6;
        if (bitCount >= 8) {
            bitCount -= 8;
            bytes.push_back(static_cast<std::uint8_t>(bits >> bitCount));
        }
    }
    return bytes;
}

TEST(Base64Test, MatchesTheRfcVectorsAndTheLastTwoCharacters) {
    struct Case {
        std::vector<std::uint8_t> bytes;
        std::string text;
    };
    const Case cases[] = {
        {bytesOf(""), ""},
        {bytesOf("f"), "Zg=="},
        {bytesOf("fo"), "Zm8="},
        {bytesOf("foo"), "Zm9v"},
        {bytesOf("foob"), "Zm9vYg=="},
        {bytesOf("fooba"), "Zm9vYmE="},
        {bytesOf("foobar"), "Zm9vYmFy"},
        {{0xFB, 0xFF}, "+/8="},
        {{0xFB, 0xEF, 0xBE}, "++++"},
        {{0xFF, 0xFF, 0xFF, 0xFF}, "/////w=="},
        {{0x00, 0x00, 0x00}, "AAAA"},
    };
    for (const Case& c : cases) EXPECT_EQ(base64Encode(c.bytes), c.text);
}

TEST(Base64Test, RandomBytesDecodeBackWithoutLineBreaks) {
    std::mt19937 random(20240611);
    std::uniform_int_distribution<int> byte(0, 255);
    for (std::size_t size : {1u, 2u, 3u, 479u, 480u, 481u, 4096u, 100000u}) {
        std::vector<std::uint8_t> bytes(size);
        for (std::uint8_t& b : bytes) b = static_cast<std::uint8_t>(byte(random));
        const std::string text = base64Encode(bytes);
        EXPECT_EQ(text.size(), (size + 2) / 3 * 4) << size;
        EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << size;
        EXPECT_EQ(decodeIndependently(text), bytes) << size;
    }
}

}  // namespace
}  // namespace quorvia

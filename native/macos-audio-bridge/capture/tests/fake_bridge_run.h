#pragma once

// Runs the program built against the fake platform, and reads what it wrote.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "test_support/child_process.h"

namespace quorvia::testing {

using namespace std::chrono_literals;

inline std::unique_ptr<ChildProcess> startFakeBridge(const std::string& mode, const std::string& script) {
    return ChildProcess::start(QUORVIA_FAKE_BRIDGE, {mode},
                               {"QUORVIA_FAKE_SCRIPT=" + script, "QUORVIA_FAKE_CONTROL=1"}, true);
}

// Every line whole: ends with a line feed and parses as one JSON object.
inline std::vector<std::string> wholeLines(const std::string& out) {
    bool endsWithNewline = false;
    auto lines = splitLines(out, &endsWithNewline);
    EXPECT_TRUE(out.empty() || endsWithNewline) << "cut line at the end: " << out.substr(out.size() > 200 ? out.size() - 200 : 0);
    for (const auto& line : lines) {
        EXPECT_TRUE(nlohmann::json::accept(line)) << "not a whole JSON line: " << line.substr(0, 200);
    }
    return lines;
}

// Events whose first word is one of the platform calls a test cares about.
inline std::vector<std::string> callsAmong(const std::vector<std::string>& events, const std::vector<std::string>& names) {
    std::vector<std::string> calls;
    for (const auto& event : events) {
        const auto name = event.substr(0, event.find(' '));
        for (const auto& wanted : names) {
            if (name == wanted) {
                calls.push_back(event);
            }
        }
    }
    return calls;
}

inline bool hasEvent(const std::vector<std::string>& events, const std::string& prefix) {
    for (const auto& event : events) {
        if (event.rfind(prefix, 0) == 0) {
            return true;
        }
    }
    return false;
}

// Decodes a "pcm" line's payload into samples with a decoder independent of the program's.
inline std::vector<std::int16_t> pcmSamples(const std::string& line) {
    const auto text = nlohmann::json::parse(line).at("pcmBase64").get<std::string>();
    static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::vector<std::uint8_t> bytes;
    std::uint32_t buffer = 0;
    int bits = 0;
    for (char c : text) {
        if (c == '=') {
            break;
        }
        buffer = (buffer << 6) | static_cast<std::uint32_t>(alphabet.find(c));
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            bytes.push_back(static_cast<std::uint8_t>(buffer >> bits));
        }
    }
    std::vector<std::int16_t> samples;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        samples.push_back(static_cast<std::int16_t>(bytes[i] | (bytes[i + 1] << 8)));
    }
    return samples;
}

// The fake's microphone buffers: sample k of buffer b.
inline std::int16_t fakeSample(int buffer, int k) { return static_cast<std::int16_t>(buffer * 240 * 37 + k * 37); }

}  // namespace quorvia::testing

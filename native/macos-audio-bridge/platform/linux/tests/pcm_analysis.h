#pragma once

// Reading what the bridge wrote: its JSON lines, the PCM inside them, and what that PCM holds.

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace quorvia::testing {

inline constexpr double kBridgeRate = 24000.0;

// Nothing when `text` is not standard padded base64.
std::optional<std::vector<std::uint8_t>> base64Decode(std::string_view text);

// The samples of one "pcm" line (mono s16le); nothing if the line is not one.
std::optional<std::vector<std::int16_t>> pcmOfLine(const nlohmann::json& line);

// Every complete line of `out` parsed; a line that does not parse becomes a JSON null.
std::vector<nlohmann::json> parseLines(const std::string& out);

// The samples of every "pcm" line, in order.
std::vector<std::int16_t> pcmOf(const std::vector<nlohmann::json>& lines);

// Levels relative to full scale (32768).
double rmsLevel(std::span<const std::int16_t> samples);
// The amplitude of the sine at `hertz` in the samples (a single-bin DFT).
double toneAmplitude(std::span<const std::int16_t> samples, double hertz);
// Frequency from the count of sign changes.
double zeroCrossingFrequency(std::span<const std::int16_t> samples);

// `measure` of each 100 ms window (whole cycles of 440 and 1000 Hz), and the median of those:
// a dropout of a loaded machine spoils a window, not the measurement.
double medianOverWindows(std::span<const std::int16_t> samples,
                         const std::function<double(std::span<const std::int16_t>)>& measure);

}  // namespace quorvia::testing

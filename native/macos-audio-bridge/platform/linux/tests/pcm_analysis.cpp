#include "pcm_analysis.h"

#include <algorithm>
#include <cmath>

namespace quorvia::testing {
namespace {

int base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

}  // namespace

std::optional<std::vector<std::uint8_t>> base64Decode(std::string_view text) {
    if (text.size() % 4 != 0) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> bytes;
    bytes.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        const int padding = last ? (text[i + 3] == '=') + (text[i + 2] == '=') : 0;
        std::uint32_t group = 0;
        for (std::size_t j = 0; j < 4; ++j) {
            const bool padded = j >= 4 - static_cast<std::size_t>(padding);
            const int value = padded ? 0 : base64Value(text[i + j]);
            if (value < 0) {
                return std::nullopt;
            }
            group = group << 6 | static_cast<std::uint32_t>(value);
        }
        bytes.push_back(static_cast<std::uint8_t>(group >> 16));
        if (padding < 2) bytes.push_back(static_cast<std::uint8_t>(group >> 8));
        if (padding < 1) bytes.push_back(static_cast<std::uint8_t>(group));
    }
    return bytes;
}

std::optional<std::vector<std::int16_t>> pcmOfLine(const nlohmann::json& line) {
    if (!line.is_object() || line.value("type", "") != "pcm" || !line.contains("pcmBase64") ||
        !line["pcmBase64"].is_string()) {
        return std::nullopt;
    }
    const auto bytes = base64Decode(line["pcmBase64"].get<std::string>());
    if (!bytes || bytes->size() % 2 != 0) {
        return std::nullopt;
    }
    std::vector<std::int16_t> samples(bytes->size() / 2);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<std::int16_t>((*bytes)[2 * i] | (*bytes)[2 * i + 1] << 8);
    }
    return samples;
}

std::vector<nlohmann::json> parseLines(const std::string& out) {
    std::vector<nlohmann::json> lines;
    std::size_t start = 0;
    for (std::size_t end = out.find('\n'); end != std::string::npos; end = out.find('\n', start)) {
        lines.push_back(nlohmann::json::parse(out.substr(start, end - start), nullptr, false));
        if (lines.back().is_discarded()) {
            lines.back() = nullptr;
        }
        start = end + 1;
    }
    return lines;
}

std::vector<std::int16_t> pcmOf(const std::vector<nlohmann::json>& lines) {
    std::vector<std::int16_t> samples;
    for (const auto& line : lines) {
        if (const auto chunk = pcmOfLine(line)) {
            samples.insert(samples.end(), chunk->begin(), chunk->end());
        }
    }
    return samples;
}

double rmsLevel(std::span<const std::int16_t> samples) {
    if (samples.empty()) {
        return 0.0;
    }
    double sum = 0.0;
    for (const auto sample : samples) {
        sum += static_cast<double>(sample) * sample;
    }
    return std::sqrt(sum / static_cast<double>(samples.size())) / 32768.0;
}

double toneAmplitude(std::span<const std::int16_t> samples, double hertz) {
    if (samples.empty()) {
        return 0.0;
    }
    double re = 0.0;
    double im = 0.0;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const double phase = 2.0 * M_PI * hertz * static_cast<double>(i) / kBridgeRate;
        re += samples[i] * std::cos(phase);
        im += samples[i] * std::sin(phase);
    }
    return 2.0 * std::hypot(re, im) / static_cast<double>(samples.size()) / 32768.0;
}

double zeroCrossingFrequency(std::span<const std::int16_t> samples) {
    if (samples.size() < 2) {
        return 0.0;
    }
    std::size_t crossings = 0;
    for (std::size_t i = 1; i < samples.size(); ++i) {
        crossings += (samples[i - 1] < 0) != (samples[i] < 0);
    }
    return static_cast<double>(crossings) / 2.0 / (static_cast<double>(samples.size()) / kBridgeRate);
}

double medianOverWindows(std::span<const std::int16_t> samples,
                         const std::function<double(std::span<const std::int16_t>)>& measure) {
    constexpr std::size_t kWindow = 2400;
    std::vector<double> values;
    for (std::size_t start = 0; start + kWindow <= samples.size(); start += kWindow) {
        values.push_back(measure(samples.subspan(start, kWindow)));
    }
    if (values.empty()) {
        return 0.0;
    }
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2), values.end());
    return values[values.size() / 2];
}

}  // namespace quorvia::testing

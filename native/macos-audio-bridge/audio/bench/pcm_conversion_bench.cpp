// Throughput of the mix beside a memcpy of the same input bytes, and the cost of one whole
// 10 ms chunk on its way to a "pcm" line.

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "audio/pcm_conversion.h"
#include "protocol/base64.h"
#include "protocol/messages.h"

namespace {

using quorvia::platform::AudioBuffer;

enum Shape : std::int64_t { kInt16Mono, kFloatMono, kFloatStereoInterleaved, kFloatStereoPlanar };

struct Input {
    std::int64_t channels = 1;
    std::uint32_t bits = 32;
    bool isFloat = true;
    bool isPlanar = false;
    std::vector<std::vector<std::uint8_t>> planes;
    std::vector<AudioBuffer> buffers;
    std::size_t bytes = 0;
};

float tone(std::int64_t frame, std::int64_t channel) {
    return 0.8f * std::sin(0.01f * static_cast<float>(frame) + static_cast<float>(channel));
}

Input makeInput(Shape shape, std::int64_t frames) {
    Input input;
    input.channels = shape == kFloatStereoInterleaved || shape == kFloatStereoPlanar ? 2 : 1;
    input.isPlanar = shape == kFloatStereoPlanar;
    input.isFloat = shape != kInt16Mono;
    input.bits = input.isFloat ? 32 : 16;
    const std::size_t elementSize = input.bits / 8;
    const std::int64_t planeCount = input.isPlanar ? input.channels : 1;
    const std::int64_t perPlane = input.isPlanar ? 1 : input.channels;
    for (std::int64_t p = 0; p < planeCount; ++p) {
        std::vector<std::uint8_t> plane(static_cast<std::size_t>(frames * perPlane) * elementSize);
        for (std::int64_t i = 0; i < frames; ++i) {
            for (std::int64_t c = 0; c < perPlane; ++c) {
                const float value = tone(i, p + c);
                const auto at = static_cast<std::size_t>(i * perPlane + c) * elementSize;
                if (input.isFloat) {
                    std::memcpy(&plane[at], &value, 4);
                } else {
                    const auto sample = static_cast<std::int16_t>(value * 32767.0f);
                    std::memcpy(&plane[at], &sample, 2);
                }
            }
        }
        input.bytes += plane.size();
        input.planes.push_back(std::move(plane));
    }
    for (const auto& plane : input.planes) {
        input.buffers.push_back({1, static_cast<std::uint32_t>(plane.size()), plane.data()});
    }
    return input;
}

void BM_Mix(benchmark::State& state) {
    const auto shape = static_cast<Shape>(state.range(0));
    const std::int64_t frames = state.range(1);
    const Input input = makeInput(shape, frames);
    std::vector<std::uint8_t> output(static_cast<std::size_t>(2 * frames));
    for (auto _ : state) {
        quorvia::mixToMonoPCM16(frames, input.channels, input.bits, input.isFloat, !input.isFloat, input.isPlanar,
                                input.buffers, output);
        benchmark::DoNotOptimize(output.data());
        benchmark::ClobberMemory();
    }
    state.counters["frames/s"] =
        benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsIterationInvariantRate);
}

// The floor: copying the same input bytes once.
void BM_MemcpyOfInput(benchmark::State& state) {
    const auto shape = static_cast<Shape>(state.range(0));
    const std::int64_t frames = state.range(1);
    const Input input = makeInput(shape, frames);
    std::vector<std::uint8_t> copy(input.bytes);
    for (auto _ : state) {
        std::size_t at = 0;
        for (const auto& plane : input.planes) {
            std::memcpy(copy.data() + at, plane.data(), plane.size());
            at += plane.size();
        }
        benchmark::DoNotOptimize(copy.data());
        benchmark::ClobberMemory();
    }
    state.counters["frames/s"] =
        benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsIterationInvariantRate);
}

void shapes(benchmark::internal::Benchmark* bench) {
    bench->ArgNames({"shape", "frames"});
    for (const std::int64_t shape : {kInt16Mono, kFloatMono, kFloatStereoInterleaved, kFloatStereoPlanar}) {
        for (const std::int64_t frames : {240, 4096}) bench->Args({shape, frames});
    }
}

BENCHMARK(BM_Mix)->Apply(shapes);
BENCHMARK(BM_MemcpyOfInput)->Apply(shapes);

// A float mono buffer as screen capture delivers it: its block is released after the mix.
class BenchSampleBuffer final : public quorvia::platform::SampleBuffer {
public:
    explicit BenchSampleBuffer(std::int64_t frames) : frames_(frames), input_(makeInput(kFloatMono, frames)) {}

    bool hasFormatDescription() const override { return true; }
    std::optional<quorvia::platform::StreamDescription> audioStreamDescription() const override {
        return quorvia::platform::StreamDescription{quorvia::platform::kFormatFlagIsFloat |
                                                        quorvia::platform::kFormatFlagIsNonInterleaved,
                                                    1, 32};
    }
    std::int64_t numSamples() const override { return frames_; }
    std::int32_t fillAudioBufferList(quorvia::platform::AudioBufferList& list,
                                     std::unique_ptr<quorvia::platform::RetainedBlockBuffer>& block) const override {
        list.buffers[0] = input_.buffers[0];
        list.numberBuffers = 1;
        block = std::make_unique<quorvia::platform::RetainedBlockBuffer>();
        return 0;
    }

private:
    std::int64_t frames_;
    Input input_;
};

// Conversion, base64 and the JSON text of one 10 ms chunk: the work per delivered buffer.
void BM_WholeChunk(benchmark::State& state) {
    const BenchSampleBuffer buffer(240);
    for (auto _ : state) {
        std::optional<quorvia::PcmChunk> chunk = quorvia::sampleBufferPCMData(buffer);
        quorvia::PcmMessage message;
        message.source = "interviewer";
        message.pcmBase64 = quorvia::base64Encode(*chunk);
        std::string line = quorvia::encode(message);
        benchmark::DoNotOptimize(line.data());
    }
}
BENCHMARK(BM_WholeChunk);

void BM_SampleBufferPCMDataOnly(benchmark::State& state) {
    const BenchSampleBuffer buffer(240);
    for (auto _ : state) {
        std::optional<quorvia::PcmChunk> chunk = quorvia::sampleBufferPCMData(buffer);
        benchmark::DoNotOptimize(chunk->data());
    }
}
BENCHMARK(BM_SampleBufferPCMDataOnly);

}  // namespace

BENCHMARK_MAIN();

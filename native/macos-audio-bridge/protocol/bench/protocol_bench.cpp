// The per-chunk cost of the protocol: 10 ms of mono s16 at 24000 Hz is 480 bytes, 640 base64 chars.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

#include "protocol/base64.h"
#include "protocol/json_text.h"
#include "protocol/messages.h"

namespace {

std::vector<std::uint8_t> chunk(std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    std::uint32_t state = 1;
    for (std::uint8_t& b : bytes) {
        state = state * 1664525u + 1013904223u;
        b = static_cast<std::uint8_t>(state >> 24);
    }
    return bytes;
}

void BM_Base64Encode(benchmark::State& state) {
    const std::vector<std::uint8_t> bytes = chunk(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(quorvia::base64Encode(bytes));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Base64Encode)->Arg(480)->Arg(4800);

// What a bridge does per chunk before the write: base64, then the record's JSON text.
void BM_PcmLine(benchmark::State& state) {
    const std::vector<std::uint8_t> bytes = chunk(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        quorvia::PcmMessage message;
        message.source = "interviewer";
        message.pcmBase64 = quorvia::base64Encode(bytes);
        benchmark::DoNotOptimize(quorvia::encode(message));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_PcmLine)->Arg(480)->Arg(4800);

// The slow path: text that is mostly non-ASCII, with escapes.
void BM_EscapeText(benchmark::State& state) {
    std::string text;
    while (text.size() < 640) text += "L\xE2\x80\x99" "\xC3\xA9l\xC3\xA8ve \"a\"\n\xF0\x9F\x8E\xA4 ";
    std::string out;
    for (auto _ : state) {
        out.clear();
        quorvia::json::appendString(out, text);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_EscapeText);

}  // namespace

BENCHMARK_MAIN();

#!/usr/bin/env bash
# Builds and runs every test: the developer build, the AddressSanitizer + UndefinedBehaviorSanitizer
# build, the concurrency tests under ThreadSanitizer, and a bounded fuzzing run. The end-to-end
# tests start their own private PipeWire server.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=$(nproc)
fuzz_seconds=${QUORVIA_FUZZ_SECONDS:-60}  # about a minute in CI; shorten on a desk

section() { printf '\n==== %s ====\n' "$*"; }

section "developer build"
cmake --preset dev >/dev/null
cmake --build --preset dev -j "$jobs"
ctest --preset dev -j "$jobs"

section "AddressSanitizer + UndefinedBehaviorSanitizer"
cmake --preset asan >/dev/null
cmake --build --preset asan -j "$jobs"
ctest --preset asan -j "$jobs"

section "ThreadSanitizer (concurrency tests)"
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$jobs"
ctest --preset tsan -j "$jobs"

section "fuzzing: the PCM conversion for ${fuzz_seconds}s, the JSON writer for $((fuzz_seconds / 2))s"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs" --target pcm_conversion_fuzzer json_text_fuzzer
fuzz() {
    local fuzzer=$1 seconds=$2 work
    work=$(mktemp -d)
    if "$fuzzer" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$work/" "$work" >"$work/log" 2>&1; then
        grep -E '^(Done|stat::number_of_executed_units)' "$work/log"
        rm -rf "$work"
    else
        tail -n 80 "$work/log"
        echo "$(basename "$fuzzer") failed; its input is in $work"
        return 1
    fi
}
fuzz build/fuzz/native/macos-audio-bridge/audio/fuzz/pcm_conversion_fuzzer "$fuzz_seconds"
fuzz build/fuzz/native/macos-audio-bridge/protocol/fuzz/json_text_fuzzer $((fuzz_seconds / 2))

section "all test runs passed"

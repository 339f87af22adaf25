#!/usr/bin/env bash
# Builds and runs every test: the developer build, the AddressSanitizer + UndefinedBehaviorSanitizer
# build, the concurrency tests under ThreadSanitizer, and a bounded fuzzing run. The end-to-end
# tests start their own private PipeWire server.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=$(nproc)
fuzz_seconds=${QUORVIA_FUZZ_SECONDS:-60}

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

section "fuzzing the PCM conversion for ${fuzz_seconds}s"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs" --target pcm_conversion_fuzzer
corpus=$(mktemp -d)
trap 'rm -rf "$corpus"' EXIT
build/fuzz/native/macos-audio-bridge/audio/fuzz/pcm_conversion_fuzzer -max_total_time="$fuzz_seconds" \
    -rss_limit_mb=2048 -print_final_stats=1 "$corpus" 2>&1 | tail -n 12

section "all test runs passed"

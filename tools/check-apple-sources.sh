#!/bin/sh
# Compile-checks the Objective-C++ sources of the macOS build on a machine without a Mac SDK:
# clang parses and type-checks them (ARC, blocks, nullability, selectors) against the
# declarations in tools/apple-decls, which hold only what the adapters use.
#
#   tools/check-apple-sources.sh [FILE.mm ...]   (default: every .mm of platform/apple)
#
# CLANGXX names the compiler (default clang++). The target stays Linux so that the machine's
# C++ headers work; the Objective-C runtime is the macOS one. Availability is not enforced on a
# Linux target, so API_AVAILABLE mistakes show only on a Mac.
set -eu

root=$(CDPATH= cd -- "$(dirname -- "$0")/.." && pwd)
clangxx=${CLANGXX:-clang++}

if [ "$#" -eq 0 ]; then
    set -- "$root"/native/macos-audio-bridge/platform/apple/*.mm
fi

status=0
for source in "$@"; do
    if "$clangxx" -target x86_64-linux-gnu -fobjc-runtime=macosx-13.0 -fsyntax-only \
        -x objective-c++ -std=c++20 -fobjc-arc -fblocks \
        -Werror -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion \
        -Wnullable-to-nonnull-conversion -Wnullability-completeness -Wundeclared-selector \
        -Wimplicit-retain-self -Warc-repeated-use-of-weak -Wobjc-designated-initializers \
        -I "$root/tools/apple-decls" -I "$root/native/macos-audio-bridge" \
        "$source"; then
        echo "ok: ${source#"$root"/}"
    else
        echo "FAILED: ${source#"$root"/}"
        status=1
    fi
done
exit "$status"

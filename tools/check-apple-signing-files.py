#!/usr/bin/env python3
"""Checks the macOS helper's Info.plist and entitlements as they will be embedded and signed.

The entitlements must grant the audio input and nothing that widens the attack surface: a helper
that holds microphone and screen-recording permission must not accept injected code (no JIT,
no unsigned executable memory, no disabled library validation) and needs no network.
"""
import plistlib
import sys
from pathlib import Path

APPLE_DIR = Path(__file__).resolve().parent.parent / "native/macos-audio-bridge/platform/apple"

EXPECTED_ENTITLEMENTS = {
    "com.apple.security.app-sandbox": False,
    "com.apple.security.device.audio-input": True,
    "com.apple.security.device.microphone": True,
}
FORBIDDEN_ENTITLEMENTS = (
    "com.apple.security.cs.allow-jit",
    "com.apple.security.cs.allow-unsigned-executable-memory",
    "com.apple.security.cs.disable-library-validation",
    "com.apple.security.network.client",
)


def main() -> int:
    problems = []
    with open(APPLE_DIR / "QuorviaMacAudioBridge.entitlements", "rb") as file:
        entitlements = plistlib.load(file)
    for key in FORBIDDEN_ENTITLEMENTS:
        if key in entitlements:
            problems.append(f"entitlements grant {key}")
    if entitlements != EXPECTED_ENTITLEMENTS:
        problems.append(f"entitlements are {entitlements}, expected exactly {EXPECTED_ENTITLEMENTS}")

    with open(APPLE_DIR / "Info.plist", "rb") as file:
        info = plistlib.load(file)
    if info.get("CFBundleIdentifier") != "com.quorvia.desktop.audio-bridge":
        problems.append(f"CFBundleIdentifier is {info.get('CFBundleIdentifier')!r}")
    if not str(info.get("NSMicrophoneUsageDescription", "")).strip():
        problems.append("Info.plist has no NSMicrophoneUsageDescription")

    for problem in problems:
        print(problem)
    if not problems:
        print("ok: Info.plist and entitlements")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())

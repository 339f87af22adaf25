#pragma once

// API_AVAILABLE(macos(13.0)) -> __attribute__((availability(macos,introduced=13.0))).
// Only the macOS form is declared: nothing here targets another Apple platform.
#define API_AVAILABLE_PLATFORM_macos(version) macos, introduced = version
#define API_AVAILABLE_ATTRIBUTE(platform_and_version) __attribute__((availability(platform_and_version)))
#define API_AVAILABLE(platform_version) API_AVAILABLE_ATTRIBUTE(API_AVAILABLE_PLATFORM_##platform_version)

#pragma once

#include <string_view>

namespace quorvia {

// The host application's bundle identifier: its own audio is left out of the system-audio
// capture, and it heads the output queues' labels.
inline constexpr std::string_view quorviaAppBundleIdentifier = "com.quorvia.desktop";

}  // namespace quorvia

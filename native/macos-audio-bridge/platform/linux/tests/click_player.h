#pragma once

// A playback stream inside the test process that plays silence until asked for a click, and
// knows when the click's first samples went to the server: the start of a latency measurement.

#include <chrono>
#include <memory>
#include <optional>
#include <string>

namespace quorvia::testing {

class ClickPlayer {
public:
    // Plays into `sink` of the server whose runtime dir is `runtimeDir`, as application
    // `applicationId`. Null with `whyNot` set on failure.
    static std::unique_ptr<ClickPlayer> start(const std::string& runtimeDir, const std::string& sink,
                                              const std::string& applicationId, std::string& whyNot);
    ~ClickPlayer();

    // Waits until the stream runs. False on timeout.
    bool waitUntilStreaming(std::chrono::milliseconds timeout);

    // Queues a 20 ms burst of 1 kHz at half scale and returns the moment its first samples were
    // handed to the server (nothing on timeout).
    std::optional<std::chrono::steady_clock::time_point> click(std::chrono::milliseconds timeout);
    // Back to silence, ready for the next click.
    void rearm();

    struct State;

private:
    ClickPlayer() = default;
    std::unique_ptr<State> state_;
};

}  // namespace quorvia::testing

#pragma once

// A private PipeWire stack (scripts/private-audio-server.sh) for the length of one test, and the
// players and analysis the end-to-end tests use with it.

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "test_support/child_process.h"

namespace quorvia::testing {

// CI sets CI=true; there a missing audio server fails a test instead of skipping it.
bool runningInCi();

class PrivateAudioServer {
public:
    // Starts the stack and waits until it is ready. Null with `whyNot` set when it cannot run.
    static std::unique_ptr<PrivateAudioServer> start(std::string& whyNot);

    // Stops every daemon and waits for them.
    ~PrivateAudioServer();

    // "K=V" entries that point a child process at this server.
    const std::vector<std::string>& environment() const { return environment_; }
    // One of the values the script reported (QUORVIA_AUDIO_MIC_SINK, ...).
    std::string value(const std::string& key) const;
    // The runtime dir, for clients in this process.
    std::string runtimeDir() const { return value("XDG_RUNTIME_DIR"); }

    // Kills the pipewire daemon itself, as a crash would.
    void killServer();

private:
    PrivateAudioServer() = default;

    std::unique_ptr<ChildProcess> harness_;
    std::map<std::string, std::string> values_;
    std::vector<std::string> environment_;
};

// Skips the test on a developer machine without a working PipeWire; fails it in CI.
#define QUORVIA_REQUIRE_AUDIO_SERVER(server)                                                    \
    std::string whyNoServer_;                                                                   \
    auto server = ::quorvia::testing::PrivateAudioServer::start(whyNoServer_);                  \
    if (!server) {                                                                              \
        if (::quorvia::testing::runningInCi()) {                                                \
            FAIL() << "no private PipeWire server: " << whyNoServer_;                           \
        }                                                                                       \
        GTEST_SKIP() << "no private PipeWire server (install pipewire, wireplumber, "           \
                        "pipewire-pulse, pulseaudio-utils): "                                   \
                     << whyNoServer_;                                                           \
    }

// A 16-bit mono WAV file of a sine at `hertz` with peak `amplitude` (0..1).
void writeToneWav(const std::string& path, double hertz, double amplitude, double seconds, std::uint32_t rate = 48000);

// paplay playing a file into `sink` as a client with the given application.id.
std::unique_ptr<ChildProcess> playFile(const PrivateAudioServer& server, const std::string& path,
                                       const std::string& sink, const std::string& applicationId);

// A client with the given application.id that stays connected and plays nothing.
std::unique_ptr<ChildProcess> connectSilently(const PrivateAudioServer& server, const std::string& applicationId);

// Waits until the server lists a client with this application.id (pactl).
bool waitForClient(const PrivateAudioServer& server, const std::string& applicationId, std::chrono::milliseconds timeout);

// Waits until the server lists a playback stream with this application.id (pactl).
bool waitForPlayback(const PrivateAudioServer& server, const std::string& applicationId,
                     std::chrono::milliseconds timeout);

// A directory for one test's files, removed at the end.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    std::string path(const std::string& name) const { return dir_ + "/" + name; }

private:
    std::string dir_;
};

}  // namespace quorvia::testing

// The real QuorviaMacAudioBridge against a private PipeWire server: what it captures, what it
// writes, and how it ends.

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <string>
#include <vector>

#include "click_player.h"
#include "pcm_analysis.h"
#include "private_audio_server.h"
#include "test_support/child_process.h"

namespace quorvia::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string kHostId = "com.quorvia.desktop";
const std::string kCandidateStarted =
    R"({"type":"mode","source":"candidate","message":"candidate_capture_started","dualChannel":false,"native":true})";
const std::string kInterviewerStarted =
    R"({"type":"mode","source":"interviewer","message":"interviewer_capture_started","dualChannel":true,"native":true})";

const std::string& startedLine(const std::string& mode) {
    return mode == "candidate" ? kCandidateStarted : kInterviewerStarted;
}

std::unique_ptr<ChildProcess> startBridge(const std::vector<std::string>& environment, const std::string& mode) {
    return ChildProcess::start(QUORVIA_BRIDGE, {mode}, environment);
}

// Reads the bridge's lines one by one from `next` on.
class LineReader {
public:
    explicit LineReader(ChildProcess& bridge) : bridge_(bridge) {}

    // Until the status line and then `frames` frames of audio have come; false on timeout.
    bool untilStartedAndFrames(const std::string& statusLine, std::size_t frames, Clock::duration timeout) {
        const auto deadline = Clock::now() + timeout;
        bool started = false;
        std::size_t framesAfterStart = 0;
        while (!started || framesAfterStart < frames) {
            const auto line = next(deadline);
            if (!line) {
                return false;
            }
            if (*line == statusLine) {
                started = true;
            } else if (started) {
                framesAfterStart += pcmFrames(*line);
            }
        }
        return true;
    }

    // The samples of the pcm lines that come within `duration`.
    std::vector<std::int16_t> samplesFor(Clock::duration duration) {
        const auto deadline = Clock::now() + duration;
        std::vector<std::int16_t> samples;
        while (const auto line = next(deadline)) {
            if (const auto chunk = pcmOfLine(nlohmann::json::parse(*line, nullptr, false))) {
                samples.insert(samples.end(), chunk->begin(), chunk->end());
            }
        }
        return samples;
    }

    // Skips every line that has arrived already.
    void skipArrived() {
        while (bridge_.waitForStdoutLine(index_, 0ms)) {
            ++index_;
        }
    }

    // The next line, or nothing once `deadline` passes.
    std::optional<std::string> next(Clock::time_point deadline) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        auto line = bridge_.waitForStdoutLine(index_, std::max(left, 0ms));
        if (line) {
            ++index_;
        }
        return line;
    }

private:
    static std::size_t pcmFrames(const std::string& line) {
        const auto chunk = pcmOfLine(nlohmann::json::parse(line, nullptr, false));
        return chunk ? chunk->size() : 0;
    }

    ChildProcess& bridge_;
    std::size_t index_ = 0;
};

// Every line is a whole JSON object of the bridge's own source; the stream ends with a line feed.
void expectWholeLines(const std::string& out, const std::string& source) {
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.back(), '\n') << "the last line was cut";
    for (const auto& line : parseLines(out)) {
        ASSERT_TRUE(line.is_object()) << "a line that is no JSON object";
        EXPECT_EQ(line.value("source", ""), source);
    }
}

std::size_t countLines(const std::string& out, const std::string& line) {
    std::size_t count = 0;
    for (std::size_t at = out.find(line + "\n"); at != std::string::npos; at = out.find(line + "\n", at + 1)) {
        count += at == 0 || out[at - 1] == '\n';
    }
    return count;
}

std::unique_ptr<ChildProcess> runPactl(const PrivateAudioServer& server, const std::vector<std::string>& args) {
    auto pactl = ChildProcess::start("pactl", args, server.environment());
    EXPECT_EQ(pactl->wait(10s).exitStatus, 0);
    return pactl;
}

TEST(BridgeE2E, CandidateCapturesTheMicrophoneAtItsPitchAndLevel) {
    QUORVIA_REQUIRE_AUDIO_SERVER(server);
    ScratchDir dir;
    writeToneWav(dir.path("tone.wav"), 1000.0, 0.3, 60.0);
    auto player = playFile(*server, dir.path("tone.wav"), server->value("QUORVIA_AUDIO_MIC_SINK"), "org.example.tone");
    ASSERT_TRUE(waitForPlayback(*server, "org.example.tone", 5s));

    auto bridge = startBridge(server->environment(), "candidate");
    LineReader reader(*bridge);
    ASSERT_TRUE(reader.untilStartedAndFrames(kCandidateStarted, 6000, 10s));
    const auto samples = reader.samplesFor(1s);
    bridge->sendSignal(SIGTERM);
    const auto result = bridge->wait(10s);

    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.err, "");
    expectWholeLines(result.out, "candidate");
    EXPECT_EQ(countLines(result.out, kCandidateStarted), 1u);

    ASSERT_GT(samples.size(), 12000u);
    EXPECT_NEAR(medianOverWindows(samples, zeroCrossingFrequency), 1000.0, 10.0);
    EXPECT_NEAR(medianOverWindows(samples, [](auto window) { return toneAmplitude(window, 1000.0); }), 0.3, 0.02);
    EXPECT_NEAR(medianOverWindows(samples, rmsLevel), 0.3 / std::sqrt(2.0), 0.015);
}

struct Player {
    double hertz;
    std::string applicationId;
    bool startsDuringCapture;
    bool intoVirtualSink = false;  // a remapped sink in front of the speakers
};

TEST(BridgeE2E, InterviewerTakesEveryApplicationButTheHost) {
    struct Case {
        const char* what;
        bool hostConnectedSilently;  // the host has a server connection at the start but plays nothing
        std::vector<Player> players;
        std::vector<double> heard;
        std::vector<double> notHeard;
    };
    const std::vector<Case> cases = {
        {"the host plays beside another application",
         false,
         {{440.0, kHostId, false}, {1000.0, "org.example.call", false}},
         {1000.0},
         {440.0}},
        {"no host: everything that plays",
         false,
         {{440.0, "org.example.music", false}, {1000.0, "org.example.call", false}},
         {440.0, 1000.0},
         {}},
        {"the host plays again after the capture started",
         false,
         {{1000.0, "org.example.call", false}, {440.0, kHostId, false}, {440.0, kHostId, true}},
         {1000.0},
         {440.0}},
        {"the host, silent at the start, plays later",
         true,
         {{1000.0, "org.example.call", false}, {440.0, kHostId, true}},
         {1000.0},
         {440.0}},
        {"an application that starts after the capture",
         false,
         {{440.0, kHostId, false}, {1000.0, "org.example.call", true}},
         {1000.0},
         {440.0}},
        {"the host and another application play through a virtual sink",
         false,
         {{440.0, kHostId, false, true}, {1000.0, "org.example.call", false, true}},
         {1000.0},
         {440.0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        QUORVIA_REQUIRE_AUDIO_SERVER(server);
        ScratchDir dir;
        const auto sink = server->value("QUORVIA_AUDIO_SPEAKERS_SINK");
        std::vector<std::unique_ptr<ChildProcess>> players;
        const auto play = [&](const Player& p) {
            const auto file = dir.path(std::to_string(players.size()) + ".wav");
            writeToneWav(file, p.hertz, 0.3, 60.0);
            players.push_back(playFile(*server, file, p.intoVirtualSink ? "virtual_speakers" : sink, p.applicationId));
            return waitForPlayback(*server, p.applicationId, 5s);
        };
        if (std::any_of(c.players.begin(), c.players.end(), [](const Player& p) { return p.intoVirtualSink; })) {
            runPactl(*server, {"load-module", "module-remap-sink", "sink_name=virtual_speakers", "master=" + sink});
        }
        std::unique_ptr<ChildProcess> idleHost;
        if (c.hostConnectedSilently) {
            idleHost = connectSilently(*server, kHostId);
            ASSERT_TRUE(waitForClient(*server, kHostId, 5s));
        }
        for (const auto& p : c.players) {
            if (!p.startsDuringCapture) {
                ASSERT_TRUE(play(p));
            }
        }

        auto bridge = startBridge(server->environment(), "interviewer");
        LineReader reader(*bridge);
        ASSERT_TRUE(reader.untilStartedAndFrames(kInterviewerStarted, 2400, 10s));
        for (const auto& p : c.players) {
            if (p.startsDuringCapture) {
                ASSERT_TRUE(play(p));
            }
        }
        // Past the links being made and the resampler settling.
        reader.samplesFor(300ms);
        const auto samples = reader.samplesFor(1s);
        bridge->sendSignal(SIGTERM);
        const auto result = bridge->wait(10s);
        EXPECT_EQ(result.exitStatus, 0);
        EXPECT_EQ(result.err, "");

        ASSERT_GT(samples.size(), 12000u);
        const auto amplitudeOf = [&samples](double hertz) {
            return medianOverWindows(samples, [hertz](auto window) { return toneAmplitude(window, hertz); });
        };
        for (const double hertz : c.heard) {
            EXPECT_NEAR(amplitudeOf(hertz), 0.3, 0.03) << hertz << " Hz";
        }
        for (const double hertz : c.notHeard) {
            EXPECT_LT(amplitudeOf(hertz), 0.003) << hertz << " Hz";
        }
    }
}

TEST(BridgeE2E, InterviewerSendsSilenceWhileNothingPlays) {
    QUORVIA_REQUIRE_AUDIO_SERVER(server);
    auto bridge = startBridge(server->environment(), "interviewer");
    LineReader reader(*bridge);
    ASSERT_TRUE(reader.untilStartedAndFrames(kInterviewerStarted, 240, 10s));
    const auto samples = reader.samplesFor(1s);
    bridge->sendSignal(SIGTERM);
    EXPECT_EQ(bridge->wait(10s).exitStatus, 0);

    // Real time: a second of wall clock brings about a second of audio.
    EXPECT_GT(samples.size(), 18000u);
    EXPECT_LT(samples.size(), 30000u);
    EXPECT_EQ(*std::max_element(samples.begin(), samples.end()), 0);
    EXPECT_EQ(*std::min_element(samples.begin(), samples.end()), 0);
}

TEST(BridgeE2E, SigtermAndSigintEndACaptureWithStatusZeroAndWholeLines) {
    for (const std::string mode : {"candidate", "interviewer"}) {
        for (const int signal : {SIGTERM, SIGINT}) {
            SCOPED_TRACE(mode + " " + std::to_string(signal));
            QUORVIA_REQUIRE_AUDIO_SERVER(server);
            auto bridge = startBridge(server->environment(), mode);
            LineReader reader(*bridge);
            ASSERT_TRUE(reader.untilStartedAndFrames(startedLine(mode), 2400, 10s));
            bridge->sendSignal(signal);
            const auto result = bridge->wait(5s);
            EXPECT_FALSE(result.timedOut);
            EXPECT_EQ(result.exitStatus, 0);
            EXPECT_EQ(result.err, "");
            expectWholeLines(result.out, mode);
            EXPECT_EQ(countLines(result.out, startedLine(mode)), 1u);
        }
    }
}

TEST(BridgeE2E, WithoutAServerOneErrorLineAndStatus78) {
    ScratchDir nowhere;
    const std::vector<std::string> environment = {
        "XDG_RUNTIME_DIR=" + nowhere.path(""), "PIPEWIRE_RUNTIME_DIR=" + nowhere.path(""), "PIPEWIRE_REMOTE=pipewire-0"};

    auto candidate = startBridge(environment, "candidate");
    const auto candidateResult = candidate->wait(10s);
    EXPECT_EQ(candidateResult.exitStatus, 78);
    EXPECT_EQ(candidateResult.out,
              R"({"type":"error","source":"candidate","message":"microphone_device_unavailable","native":true})" "\n");
    EXPECT_EQ(candidateResult.err, "");

    auto interviewer = startBridge(environment, "interviewer");
    const auto interviewerResult = interviewer->wait(10s);
    EXPECT_EQ(interviewerResult.exitStatus, 78);
    EXPECT_EQ(interviewerResult.err, "");
    const auto lines = parseLines(interviewerResult.out);
    ASSERT_EQ(lines.size(), 1u) << interviewerResult.out;
    EXPECT_EQ(lines[0].value("type", ""), "error");
    EXPECT_EQ(lines[0].value("source", ""), "interviewer");
    EXPECT_EQ(lines[0].value("native", false), true);
    EXPECT_EQ(lines[0].value("message", "").rfind("PipeWire: ", 0), 0u) << lines[0].dump();
}

TEST(BridgeE2E, AServerThatDiesEndsTheCaptureWithOneErrorLineAndStatus78) {
    for (const std::string mode : {"candidate", "interviewer"}) {
        SCOPED_TRACE(mode);
        QUORVIA_REQUIRE_AUDIO_SERVER(server);
        auto bridge = startBridge(server->environment(), mode);
        LineReader reader(*bridge);
        ASSERT_TRUE(reader.untilStartedAndFrames(startedLine(mode), 2400, 10s));

        server->killServer();
        const auto killed = Clock::now();
        const auto result = bridge->wait(5s);
        const auto took = Clock::now() - killed;

        EXPECT_EQ(result.exitStatus, 78);
        EXPECT_LT(took, 1s);
        EXPECT_EQ(result.err, "");
        expectWholeLines(result.out, mode);
        const auto lines = parseLines(result.out);
        const auto errors = std::count_if(lines.begin(), lines.end(),
                                          [](const nlohmann::json& line) { return line.value("type", "") == "error"; });
        EXPECT_EQ(errors, 1);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back().value("type", ""), "error");
        EXPECT_EQ(lines.back().value("message", "").rfind("PipeWire: ", 0), 0u) << lines.back().dump();
    }
}


// The session manager falls back to a sink's monitor as the default source; that is the machine's
// own output, never a microphone.
TEST(BridgeE2E, CandidateWithoutAMicrophoneNeverRecordsTheSpeakers) {
    QUORVIA_REQUIRE_AUDIO_SERVER(server);
    runPactl(*server, {"unload-module", "module-remap-source"});
    auto bridge = startBridge(server->environment(), "candidate");
    const auto result = bridge->wait(10s);
    EXPECT_EQ(result.exitStatus, 78);
    EXPECT_EQ(result.out,
              R"({"type":"error","source":"candidate","message":"microphone_device_unavailable","native":true})" "\n");
    EXPECT_EQ(result.err, "");
}

TEST(BridgeE2E, CandidateEndsWhenItsMicrophoneGoesAway) {
    QUORVIA_REQUIRE_AUDIO_SERVER(server);
    auto bridge = startBridge(server->environment(), "candidate");
    LineReader reader(*bridge);
    ASSERT_TRUE(reader.untilStartedAndFrames(kCandidateStarted, 2400, 10s));
    runPactl(*server, {"unload-module", "module-remap-source"});
    const auto result = bridge->wait(5s);
    EXPECT_EQ(result.exitStatus, 78);
    EXPECT_EQ(result.err, "");
    expectWholeLines(result.out, "candidate");
    const auto lines = parseLines(result.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(),
              nlohmann::json::parse(
                  R"({"type":"error","source":"candidate","message":"microphone_device_disconnected","native":true})"));
    EXPECT_EQ(countLines(result.out, kCandidateStarted), 1u);
}

// From a click handed to the server to the bridge's first line that holds it, as the host reads it.
TEST(BridgeE2E, AClickReachesTheHostWithinAFewTensOfMilliseconds) {
    for (const std::string mode : {"candidate", "interviewer"}) {
        SCOPED_TRACE(mode);
        QUORVIA_REQUIRE_AUDIO_SERVER(server);
        const auto sink = server->value(mode == "candidate" ? "QUORVIA_AUDIO_MIC_SINK" : "QUORVIA_AUDIO_SPEAKERS_SINK");
        std::string whyNot;
        const auto player = ClickPlayer::start(server->runtimeDir(), sink, "org.example.clicks", whyNot);
        ASSERT_TRUE(player) << whyNot;
        ASSERT_TRUE(player->waitUntilStreaming(5s));

        auto bridge = startBridge(server->environment(), mode);
        LineReader reader(*bridge);
        ASSERT_TRUE(reader.untilStartedAndFrames(startedLine(mode), 12000, 10s));

        std::vector<double> latencies;
        for (int click = 0; click < 5; ++click) {
            reader.skipArrived();
            const auto clicked = player->click(2s);
            ASSERT_TRUE(clicked);
            std::optional<Clock::time_point> heard;
            const auto deadline = Clock::now() + 2s;
            while (!heard) {
                const auto line = reader.next(deadline);
                ASSERT_TRUE(line) << "the click never came";
                const auto chunk = pcmOfLine(nlohmann::json::parse(*line, nullptr, false));
                if (chunk && std::any_of(chunk->begin(), chunk->end(), [](std::int16_t s) { return std::abs(s) > 3000; })) {
                    heard = Clock::now();
                }
            }
            latencies.push_back(std::chrono::duration<double, std::milli>(*heard - *clicked).count());
            reader.samplesFor(150ms);  // the rest of the burst
            player->rearm();
        }
        bridge->sendSignal(SIGTERM);
        EXPECT_EQ(bridge->wait(10s).exitStatus, 0);

        std::sort(latencies.begin(), latencies.end());
        std::cout << mode << " click-to-line latency ms:";
        for (const double latency : latencies) {
            std::cout << ' ' << latency;
        }
        std::cout << " (median " << latencies[latencies.size() / 2] << ")\n";
        RecordProperty(mode + "_median_latency_ms", std::to_string(latencies[latencies.size() / 2]));
        EXPECT_LT(latencies.back(), 500.0);
    }
}

}  // namespace
}  // namespace quorvia::testing

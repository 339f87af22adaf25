// The system-audio bridge on the fake platform, in a real child process, with completions held
// back where a race is staged.

#include <gtest/gtest.h>
#include <signal.h>

#include <thread>

#include "capture/interviewer_capture_bridge.h"
#include "fake_bridge_run.h"

namespace quorvia::testing {
namespace {

const std::string kStarted =
    R"({"type":"mode","source":"interviewer","message":"interviewer_capture_started","dualChannel":true,"native":true})";

std::string errorLine(const std::string& message) {
    return R"({"type":"error","source":"interviewer","message":")" + message + R"(","native":true})";
}

struct StartCase {
    friend void PrintTo(const StartCase& c, std::ostream* os) { *os << c.name; }
    std::string name;
    std::string script;
    std::string error;  // empty: the start succeeds
};

class InterviewerStart : public ::testing::TestWithParam<StartCase> {};

TEST_P(InterviewerStart, FailsWithOneErrorLineOrStartsAndStreams) {
    const auto& c = GetParam();
    auto child = startFakeBridge("interviewer", c.script + ";deliver=2");
    if (c.error.empty()) {
        ASSERT_TRUE(child->waitForStdoutLine(2, 5s));
        child->sendSignal(SIGTERM);
    }
    const auto result = child->wait(10s);
    const auto lines = wholeLines(result.out);
    EXPECT_EQ(result.err, "");
    if (!c.error.empty()) {
        EXPECT_EQ(lines, std::vector<std::string>{errorLine(c.error)});
        EXPECT_EQ(result.exitStatus, 78);
        return;
    }
    EXPECT_EQ(result.exitStatus, 0);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), kStarted), 1);
    for (const auto& line : lines) {
        if (line != kStarted) {
            EXPECT_EQ(pcmSamples(line), std::vector<std::int16_t>(240, 16383));  // 0.5 as float
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, InterviewerStart,
    ::testing::Values(
        StartCase{"ContentError", "content=error:The user declined TCCs for application, window, display capture",
                  "The user declined TCCs for application, window, display capture"},
        StartCase{"ContentWithNeitherContentNorError", "content=none", "shareable_content_unavailable"},
        StartCase{"NoDisplay", "displays=0", "no_display_available_for_screen_capture"},
        StartCase{"RegistrationError", "addOutput=error:Failed to add stream output", "Failed to add stream output"},
        StartCase{"StartError", "start=error:Failed to start audio capture – “-3818”",
                  "Failed to start audio capture – “-3818”"},
        StartCase{"Success", "displays=3", ""}),
    [](const auto& testInfo) { return testInfo.param.name; });

TEST(InterviewerCapture, ConfiguresTheFirstDisplaysStreamInOrder) {
    const std::vector<std::string> settings = {
        "setWidth 2", "setHeight 2", "setMinimumFrameInterval 1/30", "setShowsCursor 0", "setCapturesAudio 1",
        "setSampleRate 24000", "setChannelCount 1", "setQueueDepth 3", "respondsToSetExcludesCurrentProcessAudio"};
    for (const bool supported : {true, false}) {
        SCOPED_TRACE(supported);
        auto child = startFakeBridge("interviewer", std::string("displays=2;excludes=") + (supported ? "1" : "0"));
        ASSERT_TRUE(child->waitForStdoutLine(0, 5s));
        child->sendSignal(SIGINT);
        const auto result = child->wait(10s);
        EXPECT_EQ(result.exitStatus, 0);
        auto expected = std::vector<std::string>{"makeSignalSource 15", "makeSignalSource 2", "getShareableContent 0 1",
                                                 "makeContentFilter display0 excluding", "makeStreamConfiguration"};
        expected.insert(expected.end(), settings.begin(), settings.end());
        if (supported) {
            expected.push_back("setExcludesCurrentProcessAudio 1");
        }
        for (const auto* step : {"makeStream delegate=1", "addStreamOutput 1 com.quorvia.desktop.screencapture.audio",
                                 "startCapture", "stopCapture"}) {
            expected.push_back(step);
        }
        EXPECT_EQ(callsAmong(child->events(),
                             {"makeSignalSource", "getShareableContent", "makeContentFilter", "makeStreamConfiguration",
                              "setWidth", "setHeight", "setMinimumFrameInterval", "setShowsCursor", "setCapturesAudio",
                              "setSampleRate", "setChannelCount", "setQueueDepth",
                              "respondsToSetExcludesCurrentProcessAudio", "setExcludesCurrentProcessAudio",
                              "makeStream", "addStreamOutput", "startCapture", "stopCapture"}),
                  expected);
    }
}

TEST(InterviewerCapture, HostApplicationsAreLeftOutOfTheFilter) {
    auto child = startFakeBridge(
        "interviewer", "apps=com.quorvia.desktop,org.example.player,com.quorvia.desktop,com.quorvia.desktop.helper");
    ASSERT_TRUE(child->waitForStdoutLine(0, 5s));
    child->sendSignal(SIGTERM);
    child->wait(10s);
    EXPECT_EQ(callsAmong(child->events(), {"makeContentFilter"}),
              std::vector<std::string>{"makeContentFilter display0 excluding com.quorvia.desktop com.quorvia.desktop"});
}

TEST(InterviewerCapture, OnlyAudioThatConvertsBecomesALine) {
    auto child = startFakeBridge("interviewer", "");
    ASSERT_TRUE(child->waitForStdoutLine(0, 5s));
    child->sendCommand("deliver 2 f32 0");    // screen
    child->sendCommand("deliver 1 f32 7");    // a type this program does not know
    child->sendCommand("deliver 1 empty 1");  // audio with no frames
    child->sendCommand("deliver 1 f32 1");    // the queue is serial: this line comes after the others were handled
    ASSERT_TRUE(child->waitForStdoutLine(1, 5s));
    std::this_thread::sleep_for(100ms);
    child->sendSignal(SIGTERM);
    const auto result = child->wait(10s);
    const auto lines = wholeLines(result.out);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(pcmSamples(lines[1]).size(), 240u);
}

// Races staged by holding the platform's completions back.
struct StopCase {
    friend void PrintTo(const StopCase& c, std::ostream* os) { *os << c.name; }
    std::string name;
    std::string script;
    std::string waitFor;                // the event that marks the moment of the signal ("line0": the status line)
    std::vector<std::string> commands;  // sent after the signal, each after the one before took effect
    std::vector<std::string> lines;
    int exitStatus;
    int stopRequests;
};

class InterviewerStop : public ::testing::TestWithParam<StopCase> {};

TEST_P(InterviewerStop, EndsAsTheFirstExitDecides) {
    const auto& c = GetParam();
    auto child = startFakeBridge("interviewer", c.script);
    if (c.waitFor == "line0") {
        ASSERT_TRUE(child->waitForStdoutLine(0, 5s));
    } else {
        ASSERT_TRUE(child->waitForEvent(c.waitFor, 5s));
    }
    child->sendSignal(SIGTERM);
    for (const auto& command : c.commands) {
        if (command == "signal") {
            child->sendSignal(SIGINT);
        } else if (command == "line0") {
            ASSERT_TRUE(child->waitForStdoutLine(0, 5s));
        } else if (command.rfind("await ", 0) == 0) {
            ASSERT_TRUE(child->waitForEvent(command.substr(6), 5s)) << command;
        } else {
            child->sendCommand(command);
        }
    }
    const auto result = child->wait(10s);
    EXPECT_EQ(wholeLines(result.out), c.lines);
    EXPECT_EQ(result.exitStatus, c.exitStatus);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(callsAmong(child->events(), {"stopCapture"}).size(), static_cast<std::size_t>(c.stopRequests));
}

INSTANTIATE_TEST_SUITE_P(
    Races, InterviewerStop,
    ::testing::Values(
        StopCase{"BeforeTheStreamExists", "content=hold", "getShareableContent", {}, {}, 0, 0},
        StopCase{"DuringCapture", "stop=ok", "line0", {"await stopCapture"}, {kStarted}, 0, 1},
        StopCase{"DuringCaptureWithAStopError", "stop=error:Stream was already stopped", "line0",
                 {"await stopCapture"}, {kStarted}, 0, 1},
        StopCase{"ASecondSignalAsksAgain", "stop=hold", "line0",
                 {"await stopCapture", "signal", "await stopCapture", "stop ok"}, {kStarted}, 0, 2},
        StopCase{"WhileStartingThenStartFails", "start=hold;stop=hold", "startCapture",
                 {"await stopCapture", "start error:Failed to start audio capture"},
                 {errorLine("Failed to start audio capture")}, 78, 1},
        StopCase{"WhileStartingThenStopCompletes", "start=hold;stop=hold", "startCapture",
                 {"await stopCapture", "stop ok"}, {}, 0, 1},
        StopCase{"WhileStartingThenStartSucceeds", "start=hold;stop=hold", "startCapture",
                 {"await stopCapture", "start ok", "line0", "stop ok"}, {kStarted}, 0, 1},
        StopCase{"StreamEndsWhileTheStopIsPending", "start=hold;stop=hold", "startCapture",
                 {"await stopCapture", "end Stream stopped by the system", "stop ok"}, {}, 0, 1}),
    [](const auto& testInfo) { return testInfo.param.name; });

TEST(InterviewerCapture, PlatformStoppingTheStreamIsReportedOnce) {
    const std::string stopped = "The stream was stopped by the system. (-3821)";
    struct Case {
        std::string name;
        std::string script;
        std::vector<std::string> lines;
    };
    const std::vector<Case> cases = {
        {"DuringCapture", "", {kStarted, errorLine(stopped)}},
        {"BeforeTheStatusLine", "start=hold", {errorLine(stopped)}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto child = startFakeBridge("interviewer", c.script);
        ASSERT_TRUE(child->waitForEvent("startCapture", 5s));
        if (c.lines.size() > 1) {
            ASSERT_TRUE(child->waitForStdoutLine(0, 5s));
        }
        child->sendCommand("end " + stopped);
        child->sendCommand("end " + stopped);  // a platform may say it twice
        child->sendCommand("start ok");        // too late to count
        const auto result = child->wait(10s);
        EXPECT_EQ(wholeLines(result.out), c.lines);
        EXPECT_EQ(result.exitStatus, 78);
        EXPECT_EQ(result.err, "");
    }
}

// Exclusion is decided here, not by the platform.
class NamedApplication final : public platform::RunningApplication {
public:
    explicit NamedApplication(std::string identifier) : identifier_(std::move(identifier)) {}
    std::string bundleIdentifier() const override { return identifier_; }

private:
    std::string identifier_;
};

TEST(ApplicationsToExclude, MatchesTheHostAsUnicodeTextOnly) {
    struct Case {
        std::string name;
        std::string host;
        std::vector<std::string> running;
        std::vector<std::string> excluded;
    };
    const std::vector<Case> cases = {
        {"Exact", "com.quorvia.desktop", {"com.apple.Music", "com.quorvia.desktop"}, {"com.quorvia.desktop"}},
        {"SeveralInstancesAllInOrder", "com.quorvia.desktop",
         {"com.quorvia.desktop", "org.example", "com.quorvia.desktop"}, {"com.quorvia.desktop", "com.quorvia.desktop"}},
        {"CaseDiffers", "com.quorvia.desktop", {"com.Quorvia.Desktop", "COM.QUORVIA.DESKTOP"}, {}},
        {"PrefixOrExtension", "com.quorvia.desktop", {"com.quorvia", "com.quorvia.desktop.helper", "com.quorvia.desktop "}, {}},
        {"DecomposedAccentEqualsPrecomposed", "com.caf\xC3\xA9.app", {"com.cafe\xCC\x81.app"}, {"com.cafe\xCC\x81.app"}},
        {"KelvinSignEqualsK", "com.Kelvin.app", {"com.\xE2\x84\xAA" "elvin.app"}, {"com.\xE2\x84\xAA" "elvin.app"}},
        {"HostNotRunning", "com.quorvia.desktop", {"com.apple.Safari"}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::shared_ptr<platform::RunningApplication>> running;
        for (const auto& id : c.running) {
            running.push_back(std::make_shared<NamedApplication>(id));
        }
        std::vector<std::string> excluded;
        for (const auto& application : applicationsToExclude(running, c.host)) {
            excluded.push_back(application->bundleIdentifier());
        }
        EXPECT_EQ(excluded, c.excluded);
    }
}

}  // namespace
}  // namespace quorvia::testing

// The microphone bridge on the fake platform, in a real child process: its lines, its exit
// status, the order of its platform calls, and its answers to SIGTERM and SIGINT.

#include <gtest/gtest.h>
#include <signal.h>

#include <random>
#include <thread>

#include "fake_bridge_run.h"

namespace quorvia::testing {
namespace {

const std::string kStarted =
    R"({"type":"mode","source":"candidate","message":"candidate_capture_started","dualChannel":false,"native":true})";

std::string errorLine(const std::string& message) {
    return R"({"type":"error","source":"candidate","message":")" + message + R"(","native":true})";
}

const std::vector<std::string> kMicrophoneCalls = {
    "makeSignalSource", "authorizationStatusForAudio", "requestAccessForAudio", "defaultAudioDevice",
    "makeDeviceInput", "canAddInput", "makeAudioDataOutput", "setAudioSettings", "setSampleBufferDelegate",
    "canAddOutput", "beginConfiguration", "addInput", "addOutput", "commitConfiguration", "startRunning",
    "runMainLoop", "stopRunning"};

// The calls of a start that asks nobody and succeeds, in order.
const std::vector<std::string> kQuietStart = {
    "makeSignalSource 15", "makeSignalSource 2", "authorizationStatusForAudio", "defaultAudioDevice",
    "makeDeviceInput", "canAddInput", "makeAudioDataOutput", "setAudioSettings 1819304813 24000 1 16 0 0 0",
    "setSampleBufferDelegate com.quorvia.desktop.avfoundation.candidate", "canAddOutput", "beginConfiguration",
    "addInput", "addOutput", "commitConfiguration", "startRunning", "runMainLoop"};

std::vector<std::string> firstCalls(std::size_t count) {
    return {kQuietStart.begin(), kQuietStart.begin() + static_cast<std::ptrdiff_t>(count)};
}

std::vector<std::string> withAccessRequest(std::vector<std::string> calls) {
    calls.insert(calls.begin() + 3, "requestAccessForAudio");
    return calls;
}

struct StartCase {
    friend void PrintTo(const StartCase& c, std::ostream* os) { *os << c.name; }
    std::string name;
    std::string script;
    std::vector<std::string> lines;  // exactly what stdout holds
    int exitStatus;                  // running captures are stopped with SIGTERM
    std::vector<std::string> calls;
};

class CandidateStart : public ::testing::TestWithParam<StartCase> {};

TEST_P(CandidateStart, WritesItsLinesCallsThePlatformInOrderAndExits) {
    const auto& c = GetParam();
    auto child = startFakeBridge("candidate", c.script);
    if (c.exitStatus == 0) {
        ASSERT_TRUE(child->waitForEvent("runMainLoop", 5s));
        ASSERT_TRUE(child->waitForStdoutLine(0, 5s));
        child->sendSignal(SIGTERM);
    }
    const auto result = child->wait(10s);
    EXPECT_EQ(wholeLines(result.out), c.lines);
    EXPECT_EQ(result.exitStatus, c.exitStatus);
    EXPECT_EQ(result.err, "");
    auto expectedCalls = c.calls;
    if (c.exitStatus == 0) {
        expectedCalls.push_back("stopRunning");
    }
    EXPECT_EQ(callsAmong(child->events(), kMicrophoneCalls), expectedCalls);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, CandidateStart,
    ::testing::Values(
        StartCase{"Authorized", "auth=3", {kStarted}, 0, kQuietStart},
        StartCase{"UnknownStatusGoesOnWithoutAsking", "auth=7", {kStarted}, 0, kQuietStart},
        StartCase{"UndecidedThenGranted", "auth=0;access=grant", {kStarted}, 0, withAccessRequest(kQuietStart)},
        StartCase{"UndecidedThenRefused", "auth=0;access=deny", {errorLine("microphone_permission_denied")}, 78,
                  withAccessRequest(firstCalls(3))},
        StartCase{"RestrictedIsNeverAsked", "auth=1", {errorLine("microphone_permission_denied")}, 78, firstCalls(3)},
        StartCase{"DeniedIsNeverAsked", "auth=2", {errorLine("microphone_permission_denied")}, 78, firstCalls(3)},
        StartCase{"NoDevice", "device=none", {errorLine("microphone_device_unavailable")}, 78, firstCalls(4)},
        StartCase{"DeviceInputErrorCarriesThePlatformText",
                  "input=error:Das Gerät „Mikrofon“ ist belegt – ‘retry’ \\ \"later\"",
                  {errorLine("Das Gerät „Mikrofon“ ist belegt – ‘retry’ \\\\ \\\"later\\\"")}, 78, firstCalls(5)},
        StartCase{"InputRefusedBeforeAnyOutputIsMade", "canAddInput=0", {errorLine("microphone_input_attach_failed")},
                  78, firstCalls(6)},
        StartCase{"OutputRefusedLeavesTheSessionUntouched", "canAddOutput=0",
                  {errorLine("microphone_output_attach_failed")}, 78, firstCalls(10)}),
    [](const auto& testInfo) { return testInfo.param.name; });

TEST(CandidateCapture, PcmLinesCarryTheDeliveredSamplesAndEachSignalStopsTheSession) {
    for (const int signalNumber : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signalNumber);
        auto child = startFakeBridge("candidate", "deliver=3");
        ASSERT_TRUE(child->waitForStdoutLine(3, 5s));  // the status line and three pcm lines
        child->sendSignal(signalNumber);
        const auto result = child->wait(10s);
        EXPECT_EQ(result.exitStatus, 0);
        EXPECT_EQ(result.err, "");
        const auto lines = wholeLines(result.out);
        ASSERT_EQ(lines.size(), 4u) << "no line may follow the stop";
        int buffer = 0;
        for (const auto& line : lines) {
            if (line == kStarted) {
                continue;
            }
            const auto json = nlohmann::json::parse(line);
            EXPECT_EQ(json.at("type"), "pcm");
            EXPECT_EQ(json.at("source"), "candidate");
            EXPECT_EQ(json.size(), 3u);
            const auto samples = pcmSamples(line);
            ASSERT_EQ(samples.size(), 240u);
            for (int k = 0; k < 240; ++k) {
                ASSERT_EQ(samples[k], fakeSample(buffer, k)) << "buffer " << buffer << " sample " << k;
            }
            ++buffer;
        }
        EXPECT_EQ(buffer, 3);
        EXPECT_TRUE(hasEvent(child->events(), "stopRunning"));
    }
}

TEST(CandidateCapture, SignalDuringThePermissionWaitIsActedOnAfterTheAnswer) {
    struct Case {
        const char* answer;
        std::vector<std::string> lines;
        int exitStatus;
    };
    for (const auto& c : {Case{"grant", {kStarted}, 0}, Case{"deny", {errorLine("microphone_permission_denied")}, 78}}) {
        SCOPED_TRACE(c.answer);
        auto child = startFakeBridge("candidate", "auth=0;access=hold");
        ASSERT_TRUE(child->waitForEvent("requestAccessForAudio", 5s));
        child->sendSignal(SIGTERM);
        std::this_thread::sleep_for(50ms);  // the signal is in before the answer
        child->sendCommand(std::string("access ") + c.answer);
        const auto result = child->wait(10s);
        EXPECT_EQ(wholeLines(result.out), c.lines);
        EXPECT_EQ(result.exitStatus, c.exitStatus);
        EXPECT_EQ(result.err, "");
    }
}

TEST(CandidateCapture, PlatformEndingTheCaptureIsReportedOnce) {
    struct Case {
        std::string name;
        std::string script;
        std::string endCommand;  // sent once capture runs; empty: none
        std::vector<std::string> lines;
    };
    const std::vector<Case> cases = {
        {"RuntimeErrorDuringCapture", "", "end The operation couldn’t be completed. (-11819)",
         {kStarted, errorLine("The operation couldn’t be completed. (-11819)")}},
        {"DeviceGoneWithoutText", "", "end none", {kStarted, errorLine("microphone_device_disconnected")}},
        {"EndNoticeBeforeTheStatusLine", "endDuringStart=server gone", "", {errorLine("server gone")}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto child = startFakeBridge("candidate", c.script);
        if (!c.endCommand.empty()) {
            ASSERT_TRUE(child->waitForStdoutLine(0, 5s));
            child->sendCommand(c.endCommand);
            child->sendCommand(c.endCommand);  // a platform may say it twice
        }
        const auto result = child->wait(10s);
        EXPECT_EQ(wholeLines(result.out), c.lines);
        EXPECT_EQ(result.exitStatus, 78);
        EXPECT_EQ(result.err, "");
    }
}

TEST(CandidateCapture, EndNoticeDuringARequestedStopIsNoFailure) {
    auto child = startFakeBridge("candidate", "stopRunning=end:Capture session stopped");
    ASSERT_TRUE(child->waitForStdoutLine(0, 5s));
    child->sendSignal(SIGINT);
    const auto result = child->wait(10s);
    EXPECT_EQ(wholeLines(result.out), std::vector<std::string>{kStarted});
    EXPECT_EQ(result.exitStatus, 0);
}

// Many SIGTERMs and SIGINTs at random moments from start-up to running: every run ends; once
// both handlers are in place it ends with status 0; no line is ever cut or interleaved. Moments
// are picked by what the child has reached, so slow (sanitized) builds are covered as well.
TEST(CandidateCapture, SignalStorm) {
    std::vector<std::string> moments = {"", "makeSignalSource 15", "signalSourceReady 15", "signalSourceReady 2",
                                        "startRunning", "line"};
#if defined(__SANITIZE_THREAD__)
    // ThreadSanitizer's runtime swallows a signal that arrives while it starts up, before main,
    // so the child would neither die by it (as it does without TSan) nor see it.
    moments.erase(moments.begin());
#endif
    std::mt19937 random(20261210);
    const auto deadline = std::chrono::steady_clock::now() + 45s;
    int runs = 0;
    int signalledAfterInstall = 0;
    for (; runs < 300 && (runs < 40 || std::chrono::steady_clock::now() < deadline); ++runs) {
        SCOPED_TRACE(runs);
        auto child = startFakeBridge("candidate", "deliver=40");
        const auto& moment = moments[random() % moments.size()];
        SCOPED_TRACE("signalled after: " + (moment.empty() ? std::string("start") : moment));
        if (moment == "line") {
            ASSERT_TRUE(child->waitForStdoutLine(0, 10s));
        } else if (!moment.empty()) {
            ASSERT_TRUE(child->waitForEvent(moment, 10s));
        }
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 2000));
        const bool installed = hasEvent(child->events(), "signalSourceReady 2");
        const int signals = 1 + static_cast<int>(random() % 6);
        for (int i = 0; i < signals; ++i) {
            child->sendSignal(random() % 2 ? SIGTERM : SIGINT);
            std::this_thread::sleep_for(std::chrono::microseconds(random() % 300));
        }
        const auto result = child->wait(10s);
        ASSERT_FALSE(result.timedOut);
        wholeLines(result.out);
        EXPECT_EQ(result.err, "");
        if (installed) {
            ++signalledAfterInstall;
            EXPECT_EQ(result.exitStatus, 0);
        } else {
            EXPECT_TRUE(result.exitStatus == 0 || result.termSignal == SIGTERM || result.termSignal == SIGINT)
                << "status " << result.exitStatus << " signal " << result.termSignal;
        }
    }
    EXPECT_GT(signalledAfterInstall, runs / 3) << "too few runs were signalled after start-up to mean anything";
}

}  // namespace
}  // namespace quorvia::testing

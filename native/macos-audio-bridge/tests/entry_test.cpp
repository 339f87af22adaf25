#include <gtest/gtest.h>
#include <signal.h>

#include "test_support/child_process.h"

namespace quorvia::testing {
namespace {

using namespace std::chrono_literals;

const std::string kProbe = "{\"type\":\"mode\",\"message\":\"swift_package_present\",\"dualChannel\":false,\"native\":true}\n";
const std::string kUsage = "{\"type\":\"error\",\"message\":\"missing_or_invalid_mode\"}\n";

TEST(Entry, AnswersTheProbeAndRejectsAnythingButAnExactModeWord) {
    struct Case {
        std::vector<std::string> args;
        const std::string& out;
        int exitStatus;
    };
    const Case cases[] = {
        {{}, kUsage, 64},
        {{""}, kUsage, 64},
        {{"Doctor"}, kUsage, 64},
        {{"DOCTOR"}, kUsage, 64},
        {{" doctor"}, kUsage, 64},
        {{"doctor "}, kUsage, 64},
        {{"doc"}, kUsage, 64},
        {{"doctors"}, kUsage, 64},
        {{"--help"}, kUsage, 64},
        {{"-h"}, kUsage, 64},
        {{"Candidate"}, kUsage, 64},
        {{"interviewer\n"}, kUsage, 64},
        {{"\xFF\xFE"}, kUsage, 64},
        {{"--mode", "doctor"}, kUsage, 64},
        {{"doctor"}, kProbe, 0},
        {{"doctor", "extra", "args"}, kProbe, 0},
        {{"doctor", "candidate"}, kProbe, 0},
    };
    for (const auto& c : cases) {
        std::string shown;
        for (const auto& arg : c.args) {
            shown += "[" + arg + "]";
        }
        SCOPED_TRACE(shown);
        auto child = ChildProcess::start(QUORVIA_BRIDGE, c.args);
        const auto result = child->wait(10s);
        EXPECT_EQ(result.out, c.out);
        EXPECT_EQ(result.exitStatus, c.exitStatus);
        EXPECT_EQ(result.err, "");
    }
}

TEST(Entry, ModeWordsStartTheirBridgeWhateverFollows) {
    for (const std::string mode : {"candidate", "interviewer"}) {
        SCOPED_TRACE(mode);
        auto child = ChildProcess::start(QUORVIA_FAKE_BRIDGE, {mode, "--verbose", "doctor"}, {}, false);
        const auto line = child->waitForStdoutLine(0, 5s);
        ASSERT_TRUE(line);
        EXPECT_NE(line->find("\"message\":\"" + mode + "_capture_started\""), std::string::npos) << *line;
        child->sendSignal(SIGTERM);
        const auto result = child->wait(10s);
        EXPECT_EQ(result.exitStatus, 0);
        EXPECT_EQ(result.err, "");
    }
}

}  // namespace
}  // namespace quorvia::testing

#include "test_support/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <system_error>
#include <vector>

namespace quorvia::testing {
namespace {

using namespace std::chrono_literals;

std::unique_ptr<ChildProcess> shell(const std::string& script, const std::vector<std::string>& env = {},
                                    bool withControl = false) {
    return ChildProcess::start("/bin/sh", {"-c", script}, env, withControl);
}

TEST(ChildProcessTest, CollectsStdoutStderrAndExitStatus) {
    auto child = shell("printf 'first\\nsecond\\ntail'; printf oops >&2; exit 3");
    EXPECT_EQ(child->waitForStdoutLine(1, 5s), "second");
    // The unterminated tail is not a line, and the end of stdout answers at once.
    EXPECT_EQ(child->waitForStdoutLine(2, 60s), std::nullopt);

    const ChildResult result = child->wait(5s);
    EXPECT_EQ(result.out, "first\nsecond\ntail");
    EXPECT_EQ(result.err, "oops");
    EXPECT_EQ(result.exitStatus, 3);
    EXPECT_EQ(result.termSignal, 0);
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(child->wait(5s).out, result.out);
}

TEST(ChildProcessTest, ReportsTheSignalThatEndedTheChild) {
    auto child = shell("echo up; exec sleep 30");
    ASSERT_EQ(child->waitForStdoutLine(0, 5s), "up");
    child->sendSignal(SIGTERM);
    const ChildResult result = child->wait(5s);
    EXPECT_EQ(result.termSignal, SIGTERM);
    EXPECT_EQ(result.exitStatus, -1);
    EXPECT_FALSE(result.timedOut);
}

TEST(ChildProcessTest, KillsAChildThatOutlivesTheTimeout) {
    auto child = shell("echo up; exec sleep 30");
    const ChildResult result = child->wait(200ms);
    EXPECT_TRUE(result.timedOut);
    EXPECT_EQ(result.termSignal, SIGKILL);
    EXPECT_EQ(result.out, "up\n");
}

// A test process that ignores or blocks a signal must not pass that on to the program under test.
TEST(ChildProcessTest, ChildStartsWithDefaultSignalHandling) {
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction previous = {};
    ASSERT_EQ(sigaction(SIGTERM, &ignore, &previous), 0);
    sigset_t blockInt;
    sigset_t previousMask;
    sigemptyset(&blockInt);
    sigaddset(&blockInt, SIGINT);
    pthread_sigmask(SIG_BLOCK, &blockInt, &previousMask);
    auto child = shell("echo up; exec sleep 30");
    sigaction(SIGTERM, &previous, nullptr);
    pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);

    ASSERT_EQ(child->waitForStdoutLine(0, 5s), "up");
    child->sendSignal(SIGTERM);
    EXPECT_EQ(child->wait(5s).termSignal, SIGTERM);

    child = shell("echo up; exec sleep 30");
    ASSERT_EQ(child->waitForStdoutLine(0, 5s), "up");
    child->sendSignal(SIGINT);
    EXPECT_EQ(child->wait(5s).termSignal, SIGINT);
}

TEST(ChildProcessTest, ControlChannelCarriesEventsAndCommands) {
    auto child = shell("echo noise >&3; echo ready >&3; read command <&4; echo \"got $command\" >&3", {}, true);
    EXPECT_EQ(child->waitForEvent("ready", 5s), "ready");
    EXPECT_TRUE(child->sendCommand("stop now"));
    EXPECT_EQ(child->waitForEvent("got", 5s), "got stop now");
    EXPECT_EQ(child->wait(5s).exitStatus, 0);
    EXPECT_EQ(child->events(), (std::vector<std::string>{"noise", "ready", "got stop now"}));
    // Skipped and consumed lines are not found again; the end of the channel answers at once.
    EXPECT_EQ(child->waitForEvent("noise", 60s), std::nullopt);
}

TEST(ChildProcessTest, CommandToAClosedChannelFailsWithoutSigpipe) {
    auto child = shell("exec 4<&-; echo closed >&3; exec sleep 30", {}, true);
    ASSERT_EQ(child->waitForEvent("closed", 5s), "closed");
    EXPECT_FALSE(child->sendCommand("anyone there"));
    EXPECT_FALSE(shell("true")->sendCommand("no control channel"));
}

TEST(ChildProcessTest, ExtraEnvironmentAddsAndReplaces) {
    auto child = shell("printf '%s|%s' \"$QUORVIA_CHILD_TEST\" \"$HOME\"", {"QUORVIA_CHILD_TEST=a b", "HOME=/replaced"});
    EXPECT_EQ(child->wait(5s).out, "a b|/replaced");
}

TEST(ChildProcessTest, PausedStdoutBlocksTheWriterUntilResumed) {
    auto child = shell("head -c 1000000 /dev/zero; echo done >&3", {}, true);
    child->setStdoutPaused(true);
    EXPECT_EQ(child->waitForEvent("done", 300ms), std::nullopt);
    child->setStdoutPaused(false);
    EXPECT_EQ(child->waitForEvent("done", 10s), "done");
    EXPECT_EQ(child->wait(5s).out.size(), 1000000u);
}

TEST(ChildProcessTest, StartFailureThrows) {
    EXPECT_THROW(ChildProcess::start("/nonexistent/quorvia-program", {}), std::system_error);
}

#if defined(__linux__)
// An inherited write end of some other pipe would keep that pipe's reader from seeing its end.
TEST(ChildProcessTest, ChildInheritsNoOtherDescriptors) {
    const int opened = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(opened, 0);
    const int leaky = ::fcntl(opened, F_DUPFD, 20);  // deliberately without close-on-exec, clear of 0..4
    ::close(opened);
    ASSERT_GE(leaky, 20);
    const std::string path = "/proc/self/fd/" + std::to_string(leaky);
    auto child = shell("if [ -e " + path + " ]; then echo leaked; else echo clean; fi", {}, true);
    EXPECT_EQ(child->wait(5s).out, "clean\n");
    ::close(leaky);
}
#endif

TEST(SplitLinesTest, SplitsOnLineFeedAndTellsAboutTheEnd) {
    struct Case {
        std::string text;
        std::vector<std::string> lines;
        bool endsWithNewline;
    };
    const Case cases[] = {
        {"", {}, false},
        {"a\n", {"a"}, true},
        {"a\nb", {"a", "b"}, false},
        {"\n\n", {"", ""}, true},
        {"a\r\nb\n", {"a\r", "b"}, true},
    };
    for (const Case& c : cases) {
        bool ends = !c.endsWithNewline;
        EXPECT_EQ(splitLines(c.text, &ends), c.lines) << c.text;
        EXPECT_EQ(ends, c.endsWithNewline) << c.text;
    }
}

TEST(ExecutableDirTest, NamesTheDirectoryOfThisTest) {
    const std::string dir = executableDir();
    ASSERT_FALSE(dir.empty());
    EXPECT_EQ(::access((dir + "/child_process_test").c_str(), X_OK), 0) << dir;
}

}  // namespace
}  // namespace quorvia::testing

// emit writes to fd 1, so each case runs emit_stress_child with a pipe on its stdout.

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <map>
#include <string>
#include <thread>
#include <vector>

#include "protocol_lines.h"
#include "stress_lines.h"
#include "test_support/child_process.h"

namespace quorvia {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::ChildResult;

std::unique_ptr<ChildProcess> startChild(const std::vector<std::string>& args) {
    return ChildProcess::start(EMIT_STRESS_CHILD, args, {}, true);
}

// Every line parses whole and each thread's lines arrive complete, once, and in call order.
void expectAllStressLines(const std::string& out, int threadCount, int lineCount) {
    bool endsWithNewline = false;
    const std::vector<std::string> lines = testing::splitLines(out, &endsWithNewline);
    EXPECT_TRUE(endsWithNewline);
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(threadCount * lineCount));
    std::map<int, int> nextSequence;
    for (const std::string& line : lines) {
        const auto json = nlohmann::json::parse(line, nullptr, false);
        ASSERT_FALSE(json.is_discarded()) << "not one whole JSON line: " << line.substr(0, 200);
        const std::string source = json.at("source");
        const int thread = std::stoi(source.substr(1));
        const int sequence = std::stoi(source.substr(source.find(':') + 1));
        ASSERT_EQ(sequence, nextSequence[thread]) << "thread " << thread << " out of order or lost a line";
        ++nextSequence[thread];
        ASSERT_EQ(json.at("pcmBase64"), testing::stressLine(thread, sequence).pcmBase64) << source;
    }
    EXPECT_EQ(nextSequence.size(), static_cast<std::size_t>(threadCount));
}

TEST(EmitTest, WritesEachProtocolLineWithOneLineFeed) {
    std::string expected;
    testing::forEachProtocolLine([&](const auto&, const std::string& line) { expected += line + "\n"; });
    const ChildResult result = startChild({"protocol-lines"})->wait(10s);
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.out, expected);
    EXPECT_EQ(result.err, "");
}

TEST(EmitTest, ConcurrentLinesStayWholeAndNoneIsLost) {
    const ChildResult result = startChild({"stress", "8", "2000"})->wait(60s);
    ASSERT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitStatus, 0);
    expectAllStressLines(result.out, 8, 2000);
}

TEST(EmitTest, StalledReaderLosesNothing) {
    auto child = startChild({"stress", "4", "500"});
    child->setStdoutPaused(true);  // about 1 MB of lines against a 64 KB pipe: the writers block
    std::this_thread::sleep_for(200ms);
    child->setStdoutPaused(false);
    const ChildResult result = child->wait(60s);
    ASSERT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitStatus, 0);
    expectAllStressLines(result.out, 4, 500);
}

TEST(EmitTest, NonBlockingStdoutStillGetsTheWholeLine) {
    auto child = startChild({"nonblocking-stdout"});
    child->setStdoutPaused(true);
    std::this_thread::sleep_for(200ms);
    child->setStdoutPaused(false);
    const ChildResult result = child->wait(10s);
    EXPECT_EQ(result.exitStatus, 0);
    const std::vector<std::string> lines = testing::splitLines(result.out);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].size(), std::size_t{(1 << 20) + 29});  // {"type":"error","message":"…"}
    EXPECT_EQ(lines[1], R"({"type":"mode","message":"after"})");
}

TEST(EmitTest, UnencodableRecordWritesNothing) {
    const ChildResult result = startChild({"unencodable"})->wait(10s);
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.out, "{\"type\":\"mode\",\"message\":\"after\"}\n");
}

TEST(EmitTest, WriteErrorDropsTheLineAndReturns) {
    auto child = startChild({"closed-stdout"});
    EXPECT_EQ(child->waitForEvent("returned", 10s), "returned");
    const ChildResult result = child->wait(10s);
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.out, "");
}

TEST(EmitTest, ExitWaitsForTheLineBeingWritten) {
    auto child = startChild({"exit-during-line"});
    child->setStdoutPaused(true);
    ASSERT_EQ(child->waitForEvent("exiting", 10s), "exiting");
    std::this_thread::sleep_for(300ms);  // the exit now waits on a writer stuck in a full pipe
    child->setStdoutPaused(false);
    const ChildResult result = child->wait(10s);
    EXPECT_EQ(result.exitStatus, 7);
    ASSERT_FALSE(result.out.empty());
    EXPECT_EQ(result.out.back(), '\n');
    const std::vector<std::string> lines = testing::splitLines(result.out);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].size(), std::size_t{(1 << 20) + 29});
}

TEST(EmitTest, ExitEndsTheProcessWhenTheHostNeverReads) {
    auto child = startChild({"exit-during-line"});
    child->setStdoutPaused(true);
    ASSERT_EQ(child->waitForEvent("exiting", 10s), "exiting");
    // The wait resumes reading only once the child has gone; it must go on its own.
    const ChildResult result = child->wait(5s);
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitStatus, 7);
}

}  // namespace
}  // namespace quorvia

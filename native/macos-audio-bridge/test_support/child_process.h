#pragma once

// Runs a program as a child process for tests that check what a whole process does:
// its stdout lines, its stderr, its exit status, and (optionally) a control channel.

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace quorvia::testing {

struct ChildResult {
    std::string out;
    std::string err;
    int exitStatus = -1;  // the status passed to exit, or -1 if a signal ended the child
    int termSignal = 0;   // the signal that ended the child, or 0
    bool timedOut = false;
};

class ChildProcess {
public:
    // Starts `program` (searched on PATH when it has no slash) with `args` as argv[1..] and the
    // current environment plus `extraEnv` ("K=V", replacing an inherited K). stdin is /dev/null;
    // stdout and stderr are pipes that a background thread drains, so the child never blocks on
    // them unless stdout is paused. With `withControl` the child also gets fd 3 (it writes event
    // lines) and fd 4 (it reads command lines). The child starts with default signal dispositions
    // and an empty signal mask, whatever the test process has set.
    // Throws std::system_error if the program cannot be started.
    static std::unique_ptr<ChildProcess> start(const std::string& program, const std::vector<std::string>& args,
                                               const std::vector<std::string>& extraEnv = {},
                                               bool withControl = false);

    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess();  // kills (SIGKILL) and reaps a child that still runs

    pid_t pid() const;

    // Does nothing once the child has been reaped (its pid may belong to another process then).
    void sendSignal(int signo);

    // The index-th (0-based) complete stdout line without its '\n'; nothing if it has not arrived
    // within `timeout` or stdout ended before it.
    std::optional<std::string> waitForStdoutLine(std::size_t index, std::chrono::milliseconds timeout);

    // The next unread control line that starts with `prefix`; unread lines before it are skipped
    // (they stay in events()). Nothing on timeout or when the control channel ended first.
    std::optional<std::string> waitForEvent(const std::string& prefix, std::chrono::milliseconds timeout);

    std::vector<std::string> events() const;  // every complete control line so far

    // Writes line + '\n' to the child's fd 4. False if the child has closed it (no SIGPIPE is raised
    // in the test process) or the child was started without control.
    bool sendCommand(const std::string& line);

    // While paused nothing is read from stdout, so the child's writes block once the pipe is full.
    void setStdoutPaused(bool paused);

    // Waits for the child to exit (SIGKILL and timedOut past `timeout`), then drains its output.
    // May be called again; later calls return the same result.
    ChildResult wait(std::chrono::milliseconds timeout);

private:
    struct Stream {
        int fd = -1;
        std::string data;
        std::vector<std::size_t> lineEnds;  // offsets of each '\n' in data
        bool ended = false;
    };

    ChildProcess() = default;
    void readLoop();
    void wake();
    bool tryReap(bool block);
    void stopReading();

    // Written at start, read-only afterwards.
    pid_t pid_ = -1;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;

    // Guards the reaping state.
    mutable std::mutex reapMutex_;
    bool reaped_ = false;
    int waitStatus_ = 0;  // -1 if the status is unknown

    std::mutex waitMutex_;  // guards result_; one wait() at a time
    std::optional<ChildResult> result_;

    // Guards everything the reading thread shares with the test's threads.
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    Stream out_;
    Stream err_;
    Stream events_;
    std::size_t nextEvent_ = 0;
    bool stdoutPaused_ = false;
    bool stopReading_ = false;

    std::mutex commandMutex_;  // guards commandFd_
    int commandFd_ = -1;

    std::thread reader_;
};

// Splits on '\n'. A trailing piece without '\n' is the last element; `endsWithNewline`, if given,
// tells whether the text ended with '\n' (so whether the last element is a complete line).
std::vector<std::string> splitLines(const std::string& text, bool* endsWithNewline = nullptr);

// The directory of the running executable, without a trailing '/'.
std::string executableDir();

}  // namespace quorvia::testing

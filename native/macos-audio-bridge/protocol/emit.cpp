#include "protocol/emit.h"

#include <poll.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <mutex>
#include <thread>

namespace quorvia {

namespace {

// Never destroyed: other threads may still be writing while the process ends, and
// exitAfterOutput keeps it locked until _exit.
std::mutex& outputLock() {
    static std::mutex* const lock = new std::mutex;
    return *lock;
}

// How long an exit waits for a line that another thread is writing. A host that reads empties
// the pipe within milliseconds, so a writer still blocked after a second is writing to a host
// that has stopped reading: its line will not be read, and the process must still end well before
// a host gives up on a SIGTERM and kills it (commonly after a few seconds).
constexpr auto kExitWaitForWriter = std::chrono::seconds(1);

// The host may hand over a non-blocking pipe (shared file descriptions make that the parent's
// choice), where a full pipe answers EAGAIN instead of blocking.
bool waitUntilWritable() {
    pollfd output{STDOUT_FILENO, POLLOUT, 0};
    for (;;) {
        if (::poll(&output, 1, -1) > 0) return true;
        if (errno != EINTR) return false;
    }
}

void writeLine(const std::string& line) {
    static const char kLineFeed = '\n';
    const std::size_t total = line.size() + 1;
    std::size_t written = 0;
    while (written < total) {
        // Line and line feed leave in one system call; a partial write resumes where it stopped.
        iovec parts[2];
        int count = 0;
        if (written < line.size()) {
            parts[count++] = iovec{const_cast<char*>(line.data()) + written, line.size() - written};
        }
        parts[count++] = iovec{const_cast<char*>(&kLineFeed), 1};
        const ssize_t result = ::writev(STDOUT_FILENO, parts, count);
        if (result >= 0) {
            written += static_cast<std::size_t>(result);
        } else if (errno == EINTR) {
            continue;
        } else if ((errno == EAGAIN || errno == EWOULDBLOCK) && waitUntilWritable()) {
            continue;
        } else {
            // EPIPE with SIGPIPE ignored, EBADF, ENOSPC: stdout is the only channel there is.
            return;
        }
    }
}

}  // namespace

void writeProtocolLine(const std::string& line) {
    std::lock_guard<std::mutex> guard(outputLock());
    writeLine(line);
}

void exitAfterOutput(int status) {
    // Whether or not the lock came free in time, it is never released: no line starts after this.
    // Polled rather than a timed lock: writers hold the lock only while a line goes out, and
    // ThreadSanitizer makes a timed lock wait out its whole timeout.
    const auto deadline = std::chrono::steady_clock::now() + kExitWaitForWriter;
    while (!outputLock().try_lock() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    ::_exit(status);
}

}  // namespace quorvia

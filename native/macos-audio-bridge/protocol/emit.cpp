#include "protocol/emit.h"

#include <poll.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <mutex>

namespace quorvia {

namespace {

// Never destroyed: other threads may still be writing while the process ends, and
// exitAfterOutput keeps it locked until _exit.
std::timed_mutex& outputLock() {
    static std::timed_mutex* const lock = new std::timed_mutex;
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
    std::lock_guard<std::timed_mutex> guard(outputLock());
    writeLine(line);
}

void exitAfterOutput(int status) {
    // Whether or not the lock came free in time, it is never released: no line starts after this.
    [[maybe_unused]] const bool locked = outputLock().try_lock_for(kExitWaitForWriter);
    ::_exit(status);
}

}  // namespace quorvia

#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string_view>
#include <system_error>

#if defined(__APPLE__)
#include <mach-o/dyld.h>
#endif

extern char** environ;

namespace quorvia::testing {

namespace {

[[noreturn]] void throwErrno(int error, const char* what) {
    throw std::system_error(error, std::generic_category(), what);
}

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        reset(other.release());
        return *this;
    }
    ~UniqueFd() { reset(); }
    int get() const { return fd_; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

struct Pipe {
    UniqueFd read;
    UniqueFd write;
};

// Both ends are close-on-exec and numbered 10 or above, so that the dup2 actions of a spawn
// (onto 0..4) can neither be no-ops that keep close-on-exec nor overwrite another source fd.
Pipe makePipe() {
    int fds[2];
#if defined(__APPLE__)
    // No pipe2 here: another thread's spawn between pipe() and the dup below can inherit these.
    if (::pipe(fds) != 0) throwErrno(errno, "pipe");
#else
    if (::pipe2(fds, O_CLOEXEC) != 0) throwErrno(errno, "pipe2");
#endif
    UniqueFd raw[2] = {UniqueFd(fds[0]), UniqueFd(fds[1])};
    Pipe result;
    for (int i = 0; i < 2; ++i) {
        int moved = ::fcntl(raw[i].get(), F_DUPFD_CLOEXEC, 10);
        if (moved < 0) throwErrno(errno, "fcntl(F_DUPFD_CLOEXEC)");
        (i == 0 ? result.read : result.write).reset(moved);
    }
    return result;
}

std::vector<std::string> buildEnvironment(const std::vector<std::string>& extraEnv) {
    std::vector<std::string> env;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) env.emplace_back(*entry);
    for (const std::string& extra : extraEnv) {
        const std::string_view key = std::string_view(extra).substr(0, extra.find('=') + 1);
        bool replaced = false;
        for (std::string& existing : env) {
            if (std::string_view(existing).substr(0, key.size()) == key) {
                existing = extra;
                replaced = true;
                break;
            }
        }
        if (!replaced) env.push_back(extra);
    }
    return env;
}

void appendTo(std::string& data, std::vector<std::size_t>& lineEnds, const char* bytes, std::size_t size) {
    const std::size_t base = data.size();
    data.append(bytes, size);
    for (std::size_t i = 0; i < size; ++i) {
        if (bytes[i] == '\n') lineEnds.push_back(base + i);
    }
}

std::string lineAt(const std::string& data, const std::vector<std::size_t>& lineEnds, std::size_t index) {
    const std::size_t begin = index == 0 ? 0 : lineEnds[index - 1] + 1;
    return data.substr(begin, lineEnds[index] - begin);
}

// Writes everything or stops at the first error. A write to a pipe whose reader has gone raises
// SIGPIPE for the writing thread; it is blocked here and a SIGPIPE that this write raised is
// consumed before the mask is restored, so the test process never sees it.
bool writeAllWithoutSigpipe(int fd, std::string_view data) {
    sigset_t pipeOnly;
    sigset_t previousMask;
    sigemptyset(&pipeOnly);
    sigaddset(&pipeOnly, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeOnly, &previousMask);
    sigset_t pending;
    sigpending(&pending);
    const bool alreadyPending = sigismember(&pending, SIGPIPE) == 1;

    bool ok = true;
    while (!data.empty()) {
        const ssize_t written = ::write(fd, data.data(), data.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            ok = false;
            break;
        }
        data.remove_prefix(static_cast<std::size_t>(written));
    }

    if (!ok && !alreadyPending) {
        sigpending(&pending);
        if (sigismember(&pending, SIGPIPE) == 1) {
            int signo = 0;
            sigwait(&pipeOnly, &signo);
        }
    }
    pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
    return ok;
}

}  // namespace

std::unique_ptr<ChildProcess> ChildProcess::start(const std::string& program, const std::vector<std::string>& args,
                                                  const std::vector<std::string>& extraEnv, bool withControl) {
    Pipe out = makePipe();
    Pipe err = makePipe();
    Pipe wakePipe = makePipe();
    Pipe events;
    Pipe commands;
    if (withControl) {
        events = makePipe();
        commands = makePipe();
    }
    // A wake-up must never block the waker, and a waker never needs more than one pending byte.
    ::fcntl(wakePipe.write.get(), F_SETFL, ::fcntl(wakePipe.write.get(), F_GETFL) | O_NONBLOCK);
    ::fcntl(wakePipe.read.get(), F_SETFL, ::fcntl(wakePipe.read.get(), F_GETFL) | O_NONBLOCK);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out.write.get(), 1);
    posix_spawn_file_actions_adddup2(&actions, err.write.get(), 2);
    if (withControl) {
        posix_spawn_file_actions_adddup2(&actions, events.write.get(), 3);
        posix_spawn_file_actions_adddup2(&actions, commands.read.get(), 4);
    }
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    // Descriptors that other code in the test process opened without close-on-exec.
    posix_spawn_file_actions_addclosefrom_np(&actions, withControl ? 5 : 3);
#endif

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t noSignals;
    sigset_t allSignals;
    sigemptyset(&noSignals);
    sigfillset(&allSignals);
    posix_spawnattr_setsigmask(&attributes, &noSignals);
    posix_spawnattr_setsigdefault(&attributes, &allSignals);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
#if defined(__APPLE__)
    flags |= POSIX_SPAWN_CLOEXEC_DEFAULT;
#endif
    posix_spawnattr_setflags(&attributes, flags);

    std::vector<std::string> argvStrings;
    argvStrings.reserve(args.size() + 1);
    argvStrings.push_back(program);
    argvStrings.insert(argvStrings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : argvStrings) argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<std::string> envStrings = buildEnvironment(extraEnv);
    std::vector<char*> envp;
    for (std::string& entry : envStrings) envp.push_back(entry.data());
    envp.push_back(nullptr);

    pid_t pid = -1;
    const int spawnError = ::posix_spawnp(&pid, program.c_str(), &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (spawnError != 0) throwErrno(spawnError, ("cannot start " + program).c_str());

    std::unique_ptr<ChildProcess> child(new ChildProcess());
    child->pid_ = pid;
    child->out_.fd = out.read.release();
    child->err_.fd = err.read.release();
    child->wakeRead_ = wakePipe.read.release();
    child->wakeWrite_ = wakePipe.write.release();
    if (withControl) {
        child->events_.fd = events.read.release();
        child->commandFd_ = commands.write.release();
    } else {
        child->events_.ended = true;
    }
    child->reader_ = std::thread([raw = child.get()] { raw->readLoop(); });
    return child;
}

ChildProcess::~ChildProcess() {
    {
        std::lock_guard<std::mutex> lock(reapMutex_);
        if (!reaped_) ::kill(pid_, SIGKILL);
    }
    tryReap(true);
    stopReading();
    for (int fd : {out_.fd, err_.fd, events_.fd, commandFd_, wakeRead_, wakeWrite_}) {
        if (fd >= 0) ::close(fd);
    }
}

pid_t ChildProcess::pid() const { return pid_; }

void ChildProcess::sendSignal(int signo) {
    std::lock_guard<std::mutex> lock(reapMutex_);
    if (!reaped_) ::kill(pid_, signo);
}

void ChildProcess::wake() {
    const char byte = 1;
    [[maybe_unused]] ssize_t ignored = ::write(wakeWrite_, &byte, 1);
}

void ChildProcess::readLoop() {
    std::vector<char> buffer(64 * 1024);
    Stream* const streams[] = {&out_, &err_, &events_};
    for (;;) {
        pollfd fds[4];
        Stream* polled[4] = {};
        nfds_t count = 0;
        fds[count++] = pollfd{wakeRead_, POLLIN, 0};
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopReading_ || (out_.ended && err_.ended && events_.ended)) return;
            for (Stream* stream : streams) {
                if (stream->ended || (stream == &out_ && stdoutPaused_)) continue;
                polled[count] = stream;
                fds[count++] = pollfd{stream->fd, POLLIN, 0};
            }
        }
        if (::poll(fds, count, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[0].revents != 0) {
            while (::read(wakeRead_, buffer.data(), buffer.size()) > 0) {
            }
        }
        for (nfds_t i = 1; i < count; ++i) {
            if (fds[i].revents == 0) continue;
            const ssize_t got = ::read(fds[i].fd, buffer.data(), buffer.size());
            if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            std::lock_guard<std::mutex> lock(mutex_);
            Stream& stream = *polled[i];
            if (got > 0) {
                appendTo(stream.data, stream.lineEnds, buffer.data(), static_cast<std::size_t>(got));
            } else {
                stream.ended = true;
                ::close(stream.fd);
                stream.fd = -1;
            }
            changed_.notify_all();
        }
    }
}

void ChildProcess::stopReading() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopReading_ = true;
    }
    wake();
    if (reader_.joinable()) reader_.join();
}

bool ChildProcess::tryReap(bool block) {
    std::lock_guard<std::mutex> lock(reapMutex_);
    if (reaped_) return true;
    int status = 0;
    pid_t got;
    do {
        got = ::waitpid(pid_, &status, block ? 0 : WNOHANG);
    } while (got < 0 && errno == EINTR);
    if (got == 0) return false;
    reaped_ = true;
    // got < 0 (ECHILD) means someone else reaped it; its status is unknown.
    waitStatus_ = got == pid_ ? status : -1;
    return true;
}

std::optional<std::string> ChildProcess::waitForStdoutLine(std::size_t index, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, timeout, [&] { return out_.lineEnds.size() > index || out_.ended; });
    if (out_.lineEnds.size() <= index) return std::nullopt;
    return lineAt(out_.data, out_.lineEnds, index);
}

std::optional<std::string> ChildProcess::waitForEvent(const std::string& prefix, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        while (nextEvent_ < events_.lineEnds.size()) {
            std::string line = lineAt(events_.data, events_.lineEnds, nextEvent_++);
            if (line.compare(0, prefix.size(), prefix) == 0) return line;
        }
        if (events_.ended) return std::nullopt;
        if (changed_.wait_until(lock, deadline) == std::cv_status::timeout &&
            nextEvent_ == events_.lineEnds.size()) {
            return std::nullopt;
        }
    }
}

std::vector<std::string> ChildProcess::events() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < events_.lineEnds.size(); ++i) lines.push_back(lineAt(events_.data, events_.lineEnds, i));
    return lines;
}

bool ChildProcess::sendCommand(const std::string& line) {
    std::lock_guard<std::mutex> lock(commandMutex_);
    if (commandFd_ < 0) return false;
    return writeAllWithoutSigpipe(commandFd_, line + '\n');
}

void ChildProcess::setStdoutPaused(bool paused) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stdoutPaused_ = paused;
    }
    wake();
}

ChildResult ChildProcess::wait(std::chrono::milliseconds timeout) {
    std::lock_guard<std::mutex> waitLock(waitMutex_);
    if (result_) return *result_;

    ChildResult result;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    auto pause = std::chrono::milliseconds(1);
    while (!tryReap(false)) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            sendSignal(SIGKILL);
            tryReap(true);
            result.timedOut = true;
            break;
        }
        std::this_thread::sleep_for(std::min(pause, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now) +
                                                        std::chrono::milliseconds(1)));
        pause = std::min(pause * 2, std::chrono::milliseconds(20));
    }

    setStdoutPaused(false);
    {
        std::unique_lock<std::mutex> lock(mutex_);
        // A descendant that inherited the pipes can keep them open after the child is gone.
        changed_.wait_for(lock, std::chrono::seconds(2), [&] { return out_.ended && err_.ended && events_.ended; });
        result.out = out_.data;
        result.err = err_.data;
    }
    {
        std::lock_guard<std::mutex> lock(reapMutex_);
        if (waitStatus_ >= 0 && WIFEXITED(waitStatus_)) result.exitStatus = WEXITSTATUS(waitStatus_);
        if (waitStatus_ >= 0 && WIFSIGNALED(waitStatus_)) result.termSignal = WTERMSIG(waitStatus_);
    }
    result_ = result;
    return result;
}

std::vector<std::string> splitLines(const std::string& text, bool* endsWithNewline) {
    std::vector<std::string> lines;
    std::size_t begin = 0;
    for (std::size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', begin)) {
        lines.push_back(text.substr(begin, end - begin));
        begin = end + 1;
    }
    if (begin < text.size()) lines.push_back(text.substr(begin));
    if (endsWithNewline != nullptr) *endsWithNewline = !text.empty() && text.back() == '\n';
    return lines;
}

std::string executableDir() {
    std::string path;
#if defined(__APPLE__)
    std::uint32_t size = 0;
    _NSGetExecutablePath(nullptr, &size);
    path.resize(size);
    if (_NSGetExecutablePath(path.data(), &size) != 0) return ".";
    path.resize(std::strlen(path.c_str()));
#else
    char buffer[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof buffer);
    if (length <= 0) return ".";
    path.assign(buffer, static_cast<std::size_t>(length));
#endif
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

}  // namespace quorvia::testing

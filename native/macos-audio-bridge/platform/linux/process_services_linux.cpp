// Main loop, signals, serial queues, tasks and exit for Linux.
//
// The main loop polls a signalfd and a self-pipe. A watched signal is blocked in the main thread
// (every thread the program starts has it blocked from birth), so it waits in the kernel until
// the loop reads it from the signalfd: no program code runs in a signal context. A handler that
// only raises a flag and writes a byte to the pipe is installed as well, for a thread started by
// code we do not control that left the signal unblocked; without it such a thread would take
// the signal's default action and end the process.

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/linux/signals_blocked.h"
#include "platform/process_services.h"
#include "protocol/emit.h"

namespace quorvia::platform {
namespace {

constexpr int kMaxSignal = 65;

// Written by the signal handler, so plain lock-free atomics and a file descriptor only.
std::atomic<int> wakeWriteFd{-1};
std::atomic<bool> signalPending[kMaxSignal];
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free);

extern "C" void recordSignal(int signalNumber) {
    const int savedErrno = errno;
    if (signalNumber > 0 && signalNumber < kMaxSignal) {
        signalPending[signalNumber].store(true);
    }
    const char byte = 's';
    // A full pipe already holds a wake-up, so a failed write loses nothing.
    [[maybe_unused]] const ssize_t written = ::write(wakeWriteFd.load(), &byte, 1);
    errno = savedErrno;
}

class ThreadSerialQueue final : public SerialQueue {
public:
    explicit ThreadSerialQueue(const std::string& label) {
        const AsyncSignalsBlocked blocked;
        worker_ = std::thread([this, name = label.substr(label.size() > 15 ? label.size() - 15 : 0)] {
            pthread_setname_np(pthread_self(), name.c_str());
            run();
        });
    }

    ~ThreadSerialQueue() override {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        ready_.notify_one();
        if (worker_.get_id() == std::this_thread::get_id()) {
            worker_.detach();
        } else {
            worker_.join();
        }
    }

    void async(std::function<void()> work) override {
        {
            std::lock_guard lock(mutex_);
            pending_.push_back(std::move(work));
        }
        ready_.notify_one();
    }

private:
    void run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            ready_.wait(lock, [this] { return stopping_ || !pending_.empty(); });
            if (pending_.empty()) {
                return;  // stopping, and everything submitted has run
            }
            auto work = std::move(pending_.front());
            pending_.pop_front();
            lock.unlock();
            work();
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::function<void()>> pending_;  // guarded by mutex_
    bool stopping_ = false;                      // guarded by mutex_
    std::thread worker_;
};

class LinuxProcessServices;

class WatchedSignal final : public SignalSource {
public:
    WatchedSignal(LinuxProcessServices& owner, int signalNumber, std::uint64_t id)
        : owner_(owner), signalNumber_(signalNumber), id_(id) {}
    ~WatchedSignal() override;

private:
    LinuxProcessServices& owner_;
    int signalNumber_;
    std::uint64_t id_;
};

class LinuxProcessServices final : public ProcessServices {
public:
    LinuxProcessServices() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
            // Without a pipe no signal could ever be observed; nothing sensible can run.
            ::_exit(70);
        }
        wakeReadFd_ = fds[0];
        wakeWriteFd.store(fds[1]);
        sigemptyset(&watchedSignals_);
        signalFd_ = ::signalfd(-1, &watchedSignals_, SFD_CLOEXEC | SFD_NONBLOCK);
        if (signalFd_ < 0) {
            ::_exit(70);
        }
    }

    std::shared_ptr<SerialQueue> makeSerialQueue(const std::string& label) override {
        return std::make_shared<ThreadSerialQueue>(label);
    }

    std::unique_ptr<SignalSource> makeSignalSource(int signalNumber, std::function<void()> handler) override {
        std::uint64_t id = 0;
        {
            std::lock_guard lock(mutex_);
            id = ++lastWatcherId_;
            watchers_[signalNumber].push_back({id, std::move(handler)});
        }
        // The watcher is registered before the signal is caught, so the first arrival finds it.
        // Each step alone keeps the default action away: the handler first, then the signalfd
        // learns the signal, then blocking it here hands every later arrival to the signalfd.
        struct sigaction action {};
        action.sa_handler = recordSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        ::sigaction(signalNumber, &action, nullptr);
        sigset_t justThis;
        sigemptyset(&justThis);
        sigaddset(&justThis, signalNumber);
        {
            std::lock_guard lock(mutex_);
            sigaddset(&watchedSignals_, signalNumber);
            ::signalfd(signalFd_, &watchedSignals_, 0);
        }
        pthread_sigmask(SIG_BLOCK, &justThis, nullptr);
        return std::make_unique<WatchedSignal>(*this, signalNumber, id);
    }

    void runMainLoop() override {
        for (;;) {
            pollfd ready[2] = {{signalFd_, POLLIN, 0}, {wakeReadFd_, POLLIN, 0}};
            if (::poll(ready, 2, -1) < 0 && errno != EINTR) {
                continue;
            }
            signalfd_siginfo arrivals[8];
            for (;;) {
                const ssize_t count = ::read(signalFd_, arrivals, sizeof arrivals);
                if (count <= 0) {
                    break;
                }
                for (std::size_t i = 0; i < static_cast<std::size_t>(count) / sizeof arrivals[0]; ++i) {
                    const auto signalNumber = static_cast<int>(arrivals[i].ssi_signo);
                    if (signalNumber > 0 && signalNumber < kMaxSignal) {
                        signalPending[signalNumber].store(true);
                    }
                }
            }
            char drain[64];
            while (::read(wakeReadFd_, drain, sizeof drain) > 0) {
            }
            for (int signalNumber = 1; signalNumber < kMaxSignal; ++signalNumber) {
                if (signalPending[signalNumber].exchange(false)) {
                    runWatchers(signalNumber);
                }
            }
        }
    }

    void launchTask(std::function<void()> body) override {
        const AsyncSignalsBlocked blocked;
        std::thread(std::move(body)).detach();
    }

    [[noreturn]] void exit(int status) override { exitAfterOutput(status); }

    void removeWatcher(int signalNumber, std::uint64_t id) {
        std::lock_guard lock(mutex_);
        auto& list = watchers_[signalNumber];
        std::erase_if(list, [id](const Watcher& watcher) { return watcher.id == id; });
        // The signal stays caught: a stop request must never end the process by default action.
    }

private:
    struct Watcher {
        std::uint64_t id;
        std::function<void()> handler;
    };

    void runWatchers(int signalNumber) {
        std::vector<std::function<void()>> handlers;
        {
            std::lock_guard lock(mutex_);
            for (const auto& watcher : watchers_[signalNumber]) {
                handlers.push_back(watcher.handler);
            }
        }
        for (auto& handler : handlers) {
            handler();
        }
    }

    int wakeReadFd_ = -1;
    int signalFd_ = -1;
    std::mutex mutex_;
    sigset_t watchedSignals_{};                     // guarded by mutex_
    std::map<int, std::vector<Watcher>> watchers_;  // guarded by mutex_
    std::uint64_t lastWatcherId_ = 0;                // guarded by mutex_
};

WatchedSignal::~WatchedSignal() { owner_.removeWatcher(signalNumber_, id_); }

}  // namespace

ProcessServices& systemProcessServices() {
    // Never destroyed: other threads may still use it while the process ends.
    static auto* services = new LinuxProcessServices();
    return *services;
}

}  // namespace quorvia::platform

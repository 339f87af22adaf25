#pragma once

// Threads the program starts take none of its asynchronous signals: the main thread, which runs
// the loop that handles them, is the only one that can be interrupted by one. Otherwise a worker
// could take SIGTERM in the middle of a system call, and a runtime that defers handlers to a
// thread's next library call (ThreadSanitizer does) would hold it on an idle worker for good.

#include <pthread.h>
#include <signal.h>

namespace quorvia::platform {

// While alive, blocks every asynchronous signal in the calling thread, so that threads started
// meanwhile begin with them blocked; restores the caller's mask at the end.
class AsyncSignalsBlocked {
public:
    AsyncSignalsBlocked() {
        sigset_t blocked;
        sigfillset(&blocked);
        // Faults are delivered to the thread that caused them and cannot wait.
        for (const int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS}) {
            sigdelset(&blocked, fault);
        }
        pthread_sigmask(SIG_BLOCK, &blocked, &previous_);
    }
    ~AsyncSignalsBlocked() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

    AsyncSignalsBlocked(const AsyncSignalsBlocked&) = delete;
    AsyncSignalsBlocked& operator=(const AsyncSignalsBlocked&) = delete;

private:
    sigset_t previous_{};
};

}  // namespace quorvia::platform

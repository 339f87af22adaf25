#pragma once

// The process-level operations the bridges use: the main loop, signal observation, serial
// queues, worker tasks and process exit. Abstract so the logic runs on a fake in tests.

#include <functional>
#include <memory>
#include <string>

namespace quorvia::platform {

// A serial queue: one work item at a time, in submission order, on a thread of its own.
class SerialQueue {
public:
    virtual ~SerialQueue() = default;
    virtual void async(std::function<void()> work) = 0;
};

// Watches one signal for as long as it lives.
class SignalSource {
public:
    virtual ~SignalSource() = default;
};

class ProcessServices {
public:
    virtual ~ProcessServices() = default;

    virtual std::shared_ptr<SerialQueue> makeSerialQueue(const std::string& label) = 0;

    // Called on the main thread. Once this returns, the signal never ends the process by its
    // default action, and every later arrival leads to at least one run of `handler` on the main
    // thread's loop (never in a signal context). Arrivals before the loop runs wait for it;
    // arrivals that come before a run may be merged into it.
    virtual std::unique_ptr<SignalSource> makeSignalSource(int signalNumber,
                                                           std::function<void()> handler) = 0;

    // Services the main thread's loop (signal handlers run here). Returns only if the loop ends.
    virtual void runMainLoop() = 0;

    // Runs `body` on a worker thread; nothing waits for it or cancels it.
    virtual void launchTask(std::function<void()> body) = 0;

    // Ends the process with `status` without running static destructors. Never cuts a line that
    // another thread is writing to standard output, yet a host that stopped reading cannot keep
    // the process alive through it.
    [[noreturn]] virtual void exit(int status) = 0;
};

}  // namespace quorvia::platform

namespace quorvia::platform {

// The process services of the platform this program is built for. Made on first use; lives
// until the process ends.
ProcessServices& systemProcessServices();

}  // namespace quorvia::platform

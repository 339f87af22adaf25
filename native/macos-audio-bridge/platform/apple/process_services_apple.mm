// Main loop, signals, queues, tasks and exit on dispatch and the main run loop.

#import <CoreFoundation/CoreFoundation.h>
#import <dispatch/dispatch.h>

#include <csignal>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/apple/apple_support.h"
#include "platform/apple/dispatch_serial_queue.h"
#include "platform/process_services.h"
#include "protocol/emit.h"

namespace quorvia::platform {

#pragma mark - Serial queues

namespace apple {

DispatchSerialQueue::DispatchSerialQueue(const std::string& label)
    : queue_(dispatch_queue_create(label.c_str(), DISPATCH_QUEUE_SERIAL)) {}

void DispatchSerialQueue::async(std::function<void()> work) {
    dispatch_async(queue_, ^{
      work();
    });
}

dispatch_queue_t dispatchQueueOf(const std::shared_ptr<SerialQueue>& queue) {
    return ownObject<DispatchSerialQueue>(queue.get()).queue();
}

}  // namespace apple

namespace {

#pragma mark - Signal sources

class DispatchSignalSource final : public SignalSource {
public:
    explicit DispatchSignalSource(dispatch_source_t source) : source_(source) {}
    ~DispatchSignalSource() override {
        if (source_ != nil) {
            dispatch_source_cancel(source_);
        }
    }

private:
    dispatch_source_t source_;  // nil when the system could not make one
};

#pragma mark - Process services

class DispatchProcessServices final : public ProcessServices {
public:
    std::shared_ptr<SerialQueue> makeSerialQueue(const std::string& label) override {
        return std::make_shared<apple::DispatchSerialQueue>(label);
    }

    std::unique_ptr<SignalSource> makeSignalSource(int signalNumber, std::function<void()> handler) override {
        dispatch_source_t source = dispatch_source_create(DISPATCH_SOURCE_TYPE_SIGNAL,
                                                          static_cast<std::uintptr_t>(signalNumber), 0,
                                                          dispatch_get_main_queue());
        if (source == nil) {
            // Left at its default action, the signal still ends the process when the host asks.
            return std::make_unique<DispatchSignalSource>(nil);
        }
        // The source keeps this block and the block keeps the handler; the owner holds the source
        // and the handler holds the owner only weakly, so nothing here forms a cycle.
        dispatch_source_set_event_handler(source, ^{
          handler();
        });
        dispatch_resume(source);
        // Ignored only once the source observes it: in the other order a stop request that
        // arrives in between is neither acted on nor fatal, and the host waits forever.
        std::signal(signalNumber, SIG_IGN);
        return std::make_unique<DispatchSignalSource>(source);
    }

    void runMainLoop() override {
        // The main run loop services the main queue, where the signal sources deliver. With the
        // main queue attached it never counts as empty, so this returns only if stopped.
        CFRunLoopRun();
    }

    void launchTask(std::function<void()> body) override {
        dispatch_async(dispatch_get_global_queue(DISPATCH_QUEUE_PRIORITY_DEFAULT, 0), ^{
          body();
        });
    }

    [[noreturn]] void exit(int status) override { exitAfterOutput(status); }
};

}  // namespace

ProcessServices& systemProcessServices() {
    // Never destroyed: queues and sources may call into it until the process ends.
    static auto* const services = new DispatchProcessServices();
    return *services;
}

}  // namespace quorvia::platform

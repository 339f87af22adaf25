// The shared shutdown mechanism against a process-services double that keeps the handlers, so a
// test can run them as the main loop would.

#include "capture/signal_shutdown.h"

#include <gtest/gtest.h>

#include <csignal>
#include <map>

namespace quorvia {
namespace {

class HandlerKeepingProcess final : public platform::ProcessServices {
public:
    std::shared_ptr<platform::SerialQueue> makeSerialQueue(const std::string&) override { return nullptr; }
    std::unique_ptr<platform::SignalSource> makeSignalSource(int signalNumber, std::function<void()> handler) override {
        order.push_back(signalNumber);
        handlers[signalNumber] = std::move(handler);
        return std::make_unique<platform::SignalSource>();
    }
    void runMainLoop() override {}
    void launchTask(std::function<void()>) override {}
    [[noreturn]] void exit(int) override { std::abort(); }

    std::vector<int> order;
    std::map<int, std::function<void()>> handlers;
};

struct Owner {
    void shutdown() { ++shutdowns; }
    int shutdowns = 0;
};

TEST(ShutdownSignalSources, TermThenIntEachRunTheLiveOwnersActionAndNothingOnceItIsGone) {
    HandlerKeepingProcess process;
    auto owner = std::make_shared<Owner>();
    const auto sources = makeShutdownSignalSources(process, owner, &Owner::shutdown);

    EXPECT_EQ(sources.size(), 2u);
    EXPECT_EQ(process.order, (std::vector<int>{SIGTERM, SIGINT}));
    process.handlers[SIGTERM]();
    process.handlers[SIGINT]();
    process.handlers[SIGTERM]();
    EXPECT_EQ(owner->shutdowns, 3) << "every run acts again";

    const std::weak_ptr<Owner> weakOwner = owner;
    owner.reset();
    EXPECT_TRUE(weakOwner.expired()) << "the handlers must not keep the owner alive";
    process.handlers[SIGTERM]();  // must not touch the gone owner (ASan would see it)
    process.handlers[SIGINT]();
}

}  // namespace
}  // namespace quorvia

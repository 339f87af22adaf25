#pragma once

// SIGTERM and SIGINT become runs of the owning bridge's shutdown action on the main thread.

#include <csignal>
#include <functional>
#include <memory>
#include <vector>

#include "platform/process_services.h"

namespace quorvia {

using SignalSources = std::vector<std::unique_ptr<platform::SignalSource>>;

// The handler holds the owner weakly: once the owner is gone a signal does nothing (and stays
// caught). Returns the SIGTERM source, then the SIGINT source.
SignalSources makeShutdownSignalSources(platform::ProcessServices& process,
                                        std::function<void()> shutdownActionOnLiveOwner);

template <typename Owner>
SignalSources makeShutdownSignalSources(platform::ProcessServices& process, const std::shared_ptr<Owner>& owner,
                                        void (Owner::*shutdownAction)()) {
    std::weak_ptr<Owner> weakOwner = owner;
    return makeShutdownSignalSources(process, [weakOwner, shutdownAction] {
        if (const auto strongOwner = weakOwner.lock()) {
            ((*strongOwner).*shutdownAction)();
        }
    });
}

}  // namespace quorvia

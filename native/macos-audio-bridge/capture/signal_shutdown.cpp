#include "capture/signal_shutdown.h"

namespace quorvia {

SignalSources makeShutdownSignalSources(platform::ProcessServices& process,
                                        std::function<void()> shutdownActionOnLiveOwner) {
    SignalSources sources;
    sources.push_back(process.makeSignalSource(SIGTERM, shutdownActionOnLiveOwner));
    sources.push_back(process.makeSignalSource(SIGINT, std::move(shutdownActionOnLiveOwner)));
    return sources;
}

}  // namespace quorvia

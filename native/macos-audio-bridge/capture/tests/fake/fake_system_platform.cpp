// systemPlatform() for the fake build of the program: the script comes from
// QUORVIA_FAKE_SCRIPT; with QUORVIA_FAKE_CONTROL=1, events go to fd 3 and commands come from fd 4.
// The real process services run underneath, so signals, queues and exit are the real ones.

#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include "fake_platform.h"
#include "platform/linux/signals_blocked.h"

namespace quorvia::platform {

Platform systemPlatform() {
    static fake::FakeSystem* system = [] {
        const char* scriptText = std::getenv("QUORVIA_FAKE_SCRIPT");
        const char* control = std::getenv("QUORVIA_FAKE_CONTROL");
        const bool controlled = control && std::string(control) == "1";
        auto* eventMutex = new std::mutex;
        auto sink = [controlled, eventMutex](const std::string& line) {
            if (!controlled) {
                return;
            }
            const std::string text = line + "\n";
            std::lock_guard lock(*eventMutex);
            std::size_t done = 0;
            while (done < text.size()) {
                const ssize_t written = ::write(3, text.data() + done, text.size() - done);
                if (written <= 0) {
                    return;
                }
                done += static_cast<std::size_t>(written);
            }
        };
        // Never destroyed: queue and task threads use it until the process ends.
        auto* fakeSystem = new fake::FakeSystem(fake::parseScript(scriptText ? scriptText : ""),
                                                systemProcessServices(), sink);
        if (controlled) {
            // The reader is the tests' machinery, not the program's: it must not take the
            // program's signals (under ThreadSanitizer one caught while it blocks in read()
            // would wait there forever).
            const AsyncSignalsBlocked blocked;
            std::thread([fakeSystem] {
                std::string pending;
                char chunk[256];
                for (;;) {
                    const ssize_t count = ::read(4, chunk, sizeof chunk);
                    if (count <= 0) {
                        return;
                    }
                    pending.append(chunk, static_cast<std::size_t>(count));
                    for (auto end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
                        const std::string line = pending.substr(0, end);
                        pending.erase(0, end + 1);
                        fakeSystem->command(line);
                    }
                }
            }).detach();
        }
        return fakeSystem;
    }();
    return system->platform();
}

}  // namespace quorvia::platform

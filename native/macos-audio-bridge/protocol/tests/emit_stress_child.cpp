// Emits lines as a test asks, on its real stdout; tests read them through a pipe.
// Events for the test go to fd 3.

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "protocol/emit.h"
#include "protocol_lines.h"
#include "stress_lines.h"

namespace {

struct UnencodableRecord {};

std::string encode(const UnencodableRecord&) { throw std::bad_alloc(); }

void event(const std::string& text) {
    const std::string line = text + "\n";
    [[maybe_unused]] ssize_t ignored = ::write(3, line.data(), line.size());
}

quorvia::ModeMessage marker(const char* text) {
    quorvia::ModeMessage message;
    message.message = text;
    return message;
}

// A 1 MB line cannot fit in a pipe, so its writer stays inside the write while nobody reads.
quorvia::ErrorMessage bigLine() {
    quorvia::ErrorMessage message;
    message.message = std::string(1 << 20, 'x');
    return message;
}

int stress(int threadCount, int lineCount) {
    std::vector<std::thread> threads;
    for (int t = 0; t < threadCount; ++t) {
        threads.emplace_back([t, lineCount] {
            for (int i = 0; i < lineCount; ++i) quorvia::emit(quorvia::testing::stressLine(t, i));
        });
    }
    for (std::thread& thread : threads) thread.join();
    return 0;
}

[[noreturn]] void exitDuringLine() {
    std::atomic<bool> started{false};
    std::thread writer([&started] {
        started = true;
        quorvia::emit(bigLine());
    });
    writer.detach();
    while (!started) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    event("exiting");
    quorvia::exitAfterOutput(7);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "protocol-lines") {
        quorvia::testing::forEachProtocolLine([](const auto& record, const std::string&) { quorvia::emit(record); });
        quorvia::exitAfterOutput(0);
    }
    if (mode == "stress" && argc == 4) return stress(std::atoi(argv[2]), std::atoi(argv[3]));
    if (mode == "unencodable") {
        quorvia::emit(UnencodableRecord{});
        quorvia::emit(marker("after"));
        return 0;
    }
    if (mode == "exit-during-line") exitDuringLine();
    if (mode == "closed-stdout") {
        ::close(1);
        quorvia::emit(marker("lost"));
        event("returned");
        return 0;
    }
    if (mode == "nonblocking-stdout") {
        ::fcntl(1, F_SETFL, ::fcntl(1, F_GETFL) | O_NONBLOCK);
        quorvia::emit(bigLine());
        quorvia::emit(marker("after"));
        return 0;
    }
    return 2;
}

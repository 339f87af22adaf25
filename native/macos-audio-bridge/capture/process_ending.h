#pragma once

#include <atomic>

namespace quorvia {

// Which way the process ends, decided once when several threads race to end it: whoever claims
// first sets the status, and the others exit with it. So an error line is never followed by
// status 0, and a stop is never followed by an error line.
class ProcessEnding {
public:
    static constexpr int kUnclaimed = -1;

    // True for the first claim only.
    bool claim(int status) {
        int expected = kUnclaimed;
        return status_.compare_exchange_strong(expected, status);
    }

    bool claimed() const { return status_.load() != kUnclaimed; }
    int status() const { return status_.load(); }

private:
    std::atomic<int> status_{kUnclaimed};
};

}  // namespace quorvia

#pragma once

// A one-shot continuation: a platform completion resumes the waiting thread once with a value.

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>

namespace quorvia {

template <typename Value>
class OneShot {
public:
    static std::shared_ptr<OneShot> make() { return std::make_shared<OneShot>(); }

    // The first value wins; a completion that runs twice cannot resume the waiter twice.
    void resume(Value value) {
        {
            std::lock_guard lock(mutex_);
            if (value_) {
                return;
            }
            value_.emplace(std::move(value));
        }
        resumed_.notify_all();
    }

    // Blocks with no time limit.
    Value wait() {
        std::unique_lock lock(mutex_);
        resumed_.wait(lock, [this] { return value_.has_value(); });
        return *value_;
    }

private:
    std::mutex mutex_;
    std::condition_variable resumed_;
    std::optional<Value> value_;  // guarded by mutex_
};

}  // namespace quorvia

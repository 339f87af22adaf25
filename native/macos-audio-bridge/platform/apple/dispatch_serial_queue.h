#pragma once

#import <dispatch/dispatch.h>

#include <functional>
#include <memory>
#include <string>

#include "platform/process_services.h"

namespace quorvia::platform::apple {

// A serial dispatch queue: one block at a time, in submission order, on the system's threads.
class DispatchSerialQueue final : public SerialQueue {
public:
    explicit DispatchSerialQueue(const std::string& label);
    void async(std::function<void()> work) override;
    dispatch_queue_t queue() const { return queue_; }

private:
    dispatch_queue_t queue_;  // set in the constructor, never changed
};

// The dispatch queue behind a queue from systemProcessServices(); AVFoundation and
// ScreenCaptureKit deliver their buffers straight onto it.
dispatch_queue_t dispatchQueueOf(const std::shared_ptr<SerialQueue>& queue);

}  // namespace quorvia::platform::apple

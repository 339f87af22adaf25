#pragma once

// One capture pw_stream: asks the server for a sample format, copies every buffer it receives
// out of the stream and hands the copy on, and tells its owner once if the stream fails or the
// server goes away. Shared by the microphone and the system-audio capture.
//
// Every member is for the loop thread or for a thread holding the loop lock.

#include <pipewire/pipewire.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/capture_error.h"
#include "platform/linux/pipewire_connection.h"
#include "platform/linux/pipewire_sample_buffer.h"

namespace quorvia::platform::pipewire {

struct StreamIdentity {
    std::string nodeName;
    std::string description;
    bool autoconnect = false;    // the session manager links it (to `target`, or the default source)
    std::string target;          // node.name of the source to record; empty for the default
    bool dontReconnect = false;  // when the target goes, the session manager ends the stream
    bool alwaysProcess = false;  // runs, delivering silence, even while nothing is linked to it
};

struct FormatRequest {
    SampleFormat sampleFormat = SampleFormat::Float32;
    std::uint32_t rate = 0;
    std::vector<std::string> channels;  // positions, e.g. {"MONO"} or {"FL", "FR"}
};

// Buffers handed to a bridge's queue that the bridge has not finished with. A host that stops
// reading blocks the bridge's queue; past the limit (about 2.7 s of 10.7 ms buffers) new buffers
// are dropped, as CoreMedia drops them when its buffer pool runs dry, instead of piling up in
// memory for as long as the host stalls. Any thread.
class InFlightBuffers {
public:
    static constexpr int kLimit = 256;

    // False when the limit is reached; the buffer is then not to be handed on.
    bool tryTake() {
        if (count_.fetch_add(1) < kLimit) {
            return true;
        }
        count_.fetch_sub(1);
        return false;
    }
    void release() { count_.fetch_sub(1); }

private:
    std::atomic<int> count_{0};
};

// Channel positions PipeWire names, in the usual order, for a stream of `count` channels.
std::vector<std::string> standardChannels(std::uint32_t count);

class CaptureStream final : private Connection::Observer {
public:
    // Loop thread, for every non-empty buffer, in order.
    using BufferHandler = std::function<void(const NegotiatedFormat& format, std::span<const std::byte> samples)>;
    // Loop thread, at most once, never after stop().
    using FailureHandler = std::function<void(const CaptureError& error)>;
    // Loop thread, on every state change.
    using StateHandler = std::function<void(pw_stream_state state)>;

    explicit CaptureStream(Connection& connection);
    ~CaptureStream();
    CaptureStream(const CaptureStream&) = delete;
    CaptureStream& operator=(const CaptureStream&) = delete;

    // pw_stream_new. Needs a connected core.
    std::optional<CaptureError> create(const StreamIdentity& identity);
    void setHandlers(BufferHandler onBuffer, FailureHandler onFailure, StateHandler onState = {});
    // pw_stream_connect for capture with exactly this format; PipeWire converts to it.
    std::optional<CaptureError> connect(const FormatRequest& request);
    // Our own end of the capture: disconnects, and no failure is reported from here on.
    void stop();

    pw_stream_state state() const { return state_; }
    bool failed() const { return failed_; }
    // SPA_ID_INVALID until the server has made the node.
    std::uint32_t nodeId() const;

private:
    void graphChanged() override {}
    void connectionLost(const CaptureError& error) override;

    void fail(const CaptureError& error);
    void onStateChanged(pw_stream_state state, const char* error);
    void onParamChanged(std::uint32_t id, const spa_pod* param);
    void onProcess();

    Connection& connection_;
    pw_stream* stream_ = nullptr;
    spa_hook streamListener_{};
    BufferHandler onBuffer_;
    FailureHandler onFailure_;
    StateHandler onState_;
    std::optional<NegotiatedFormat> format_;
    pw_stream_state state_ = PW_STREAM_STATE_UNCONNECTED;
    bool autoconnect_ = false;
    bool connected_ = false;  // pw_stream_connect succeeded
    bool stopped_ = false;
    bool failed_ = false;
};

}  // namespace quorvia::platform::pipewire

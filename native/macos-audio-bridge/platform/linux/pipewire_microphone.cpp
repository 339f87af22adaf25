#include "platform/linux/pipewire_microphone.h"

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "platform/linux/pipewire_capture_stream.h"

namespace quorvia::platform::pipewire {
namespace {

// Long enough for the session manager to link a fresh stream (tens of milliseconds here); a
// stream that is not linked by then keeps waiting for its source and starts when it comes.
constexpr std::chrono::milliseconds kStartTimeout{3000};

class PipeWireAudioDevice final : public AudioCaptureDevice {
public:
    explicit PipeWireAudioDevice(std::string sourceName) : sourceName_(std::move(sourceName)) {}
    const std::string& sourceName() const { return sourceName_; }

private:
    std::string sourceName_;
};

class PipeWireDeviceInput final : public AudioDeviceInput {
public:
    PipeWireDeviceInput(Connection& connection, std::unique_ptr<CaptureStream> capture, std::string sourceName)
        : connection_(connection), capture_(std::move(capture)), sourceName_(std::move(sourceName)) {}

    ~PipeWireDeviceInput() override {
        Connection::Lock lock(connection_);
        capture_.reset();
    }

    // Loop lock.
    CaptureStream& capture() { return *capture_; }
    const std::string& sourceName() const { return sourceName_; }

private:
    Connection& connection_;
    std::unique_ptr<CaptureStream> capture_;
    const std::string sourceName_;
};

class PipeWireAudioDataOutput final : public AudioDataOutput {
public:
    void setAudioSettings(const AudioSettings& settings) override { settings_ = settings; }
    void setSampleBufferDelegate(AudioSampleBufferDelegate* delegate, std::shared_ptr<SerialQueue> queue) override {
        delegate_ = delegate;
        queue_ = std::move(queue);
    }

    // Linear PCM as 16-bit integers or 32-bit floats, interleaved, native order.
    bool formatSupported() const {
        const bool int16 = settings_.linearPCMBitDepth == 16 && !settings_.linearPCMIsFloat;
        const bool float32 = settings_.linearPCMBitDepth == 32 && settings_.linearPCMIsFloat;
        return settings_.formatID == kAudioFormatLinearPCM && (int16 || float32) && !settings_.linearPCMIsBigEndian &&
               !settings_.linearPCMIsNonInterleaved && settings_.sampleRate > 0 &&
               settings_.numberOfChannels >= 1 && settings_.numberOfChannels <= 8;
    }

    // Read by the session when it starts, on the thread that configured the output.
    const AudioSettings& settings() const { return settings_; }
    AudioSampleBufferDelegate* delegate() const { return delegate_; }
    const std::shared_ptr<SerialQueue>& queue() const { return queue_; }

private:
    AudioSettings settings_;
    AudioSampleBufferDelegate* delegate_ = nullptr;
    std::shared_ptr<SerialQueue> queue_;
};

class PipeWireCaptureSession final : public CaptureSession {
public:
    explicit PipeWireCaptureSession(Connection& connection) : connection_(connection) {}

    ~PipeWireCaptureSession() override {
        Connection::Lock lock(connection_);
        if (input_) {
            input_->capture().setHandlers({}, {});
        }
    }

    bool canAddInput(const AudioDeviceInput& input) override {
        return dynamic_cast<const PipeWireDeviceInput*>(&input) != nullptr;
    }

    bool canAddOutput(const AudioDataOutput& output) override {
        const auto* ours = dynamic_cast<const PipeWireAudioDataOutput*>(&output);
        return ours != nullptr && ours->formatSupported();
    }

    void beginConfiguration() override {}

    void addInput(std::shared_ptr<AudioDeviceInput> input) override {
        input_ = std::dynamic_pointer_cast<PipeWireDeviceInput>(std::move(input));
    }

    void addOutput(std::shared_ptr<AudioDataOutput> output) override {
        output_ = std::dynamic_pointer_cast<PipeWireAudioDataOutput>(std::move(output));
    }

    void commitConfiguration() override {}

    void setCaptureEndedHandler(CaptureEndedHandler handler) override {
        Connection::Lock lock(connection_);
        endedHandler_ = std::move(handler);
    }

    void startRunning() override {
        if (!input_ || !output_) {
            return;
        }
        Connection::Lock lock(connection_);
        auto& capture = input_->capture();
        capture.setHandlers(
            [delegate = output_->delegate(), queue = output_->queue(), inFlight = inFlight_](
                const NegotiatedFormat& format, std::span<const std::byte> samples) {
                if (delegate == nullptr || !queue || !inFlight->tryTake()) {
                    return;
                }
                auto buffer = std::make_shared<const PipeWireSampleBuffer>(format, samples);
                queue->async([delegate, buffer, inFlight] {
                    delegate->captureOutput(*buffer);
                    inFlight->release();
                });
            },
            [this, source = input_->sourceName()](const CaptureError& error) {
                // The session manager ends a stream whose source went away (dont-reconnect);
                // that is a device that disappeared, which has no text of its own.
                const bool sourceGone = connection_.graph().nodeNamed(source) == nullptr;
                reportEnded(sourceGone ? std::nullopt : std::optional<CaptureError>(error));
            });

        const auto& settings = output_->settings();
        const FormatRequest request{
            .sampleFormat = settings.linearPCMIsFloat ? SampleFormat::Float32 : SampleFormat::Signed16,
            .rate = static_cast<std::uint32_t>(std::clamp<std::int64_t>(settings.sampleRate, 1, 384000)),
            .channels = standardChannels(static_cast<std::uint32_t>(std::clamp<std::int64_t>(settings.numberOfChannels, 1, 8))),
        };
        if (const auto error = capture.connect(request)) {
            reportEnded(error);
            return;
        }
        connection_.waitUntil(
            lock, [&capture] { return capture.state() == PW_STREAM_STATE_STREAMING || capture.failed(); },
            kStartTimeout);
    }

    void stopRunning() override {
        Connection::Lock lock(connection_);
        if (input_) {
            input_->capture().stop();
        }
    }

private:
    // Loop lock.
    void reportEnded(const std::optional<CaptureError>& error) {
        if (endedHandler_) {
            connection_.deliver([handler = endedHandler_, error] { handler(error); });
        }
    }

    Connection& connection_;
    // Set on the configuring thread before startRunning().
    std::shared_ptr<PipeWireDeviceInput> input_;
    std::shared_ptr<PipeWireAudioDataOutput> output_;
    CaptureEndedHandler endedHandler_;  // loop lock
    const std::shared_ptr<InFlightBuffers> inFlight_ = std::make_shared<InFlightBuffers>();
};

}  // namespace

std::unique_ptr<CaptureSession> PipeWireMicrophone::makeCaptureSession() {
    return std::make_unique<PipeWireCaptureSession>(connection_);
}

std::shared_ptr<AudioCaptureDevice> PipeWireMicrophone::defaultAudioDevice() {
    if (connection_.ensureConnected()) {
        return nullptr;
    }
    Connection::Lock lock(connection_);
    const auto& graph = connection_.graph();
    const auto* source = graph.defaultSourceName.empty() ? nullptr : graph.nodeNamed(graph.defaultSourceName);
    // "Audio/Source" and "Audio/Source/Virtual" both record.
    if (source == nullptr || !property(source->props, "media.class").starts_with(kMediaClassSource)) {
        return nullptr;
    }
    return std::make_shared<PipeWireAudioDevice>(graph.defaultSourceName);
}

std::variant<std::shared_ptr<AudioDeviceInput>, CaptureError> PipeWireMicrophone::makeDeviceInput(
    const std::shared_ptr<AudioCaptureDevice>& device) {
    const auto* source = dynamic_cast<const PipeWireAudioDevice*>(device.get());
    if (source == nullptr) {
        return pipewireError(-EINVAL, "not a PipeWire audio device");
    }
    if (auto error = connection_.ensureConnected()) {
        return *std::move(error);
    }
    Connection::Lock lock(connection_);
    auto capture = std::make_unique<CaptureStream>(connection_);
    // Bound to this source, as an AVCaptureDeviceInput is to its device: if it goes, the capture
    // ends instead of moving on to whatever the session manager falls back to (which may be the
    // monitor of a sink, the machine's own output).
    if (auto error = capture->create({.nodeName = "quorvia.microphone",
                                      .description = "Quorvia microphone capture",
                                      .autoconnect = true,
                                      .target = source->sourceName(),
                                      .dontReconnect = true,
                                      .alwaysProcess = false})) {
        return *std::move(error);
    }
    return std::make_shared<PipeWireDeviceInput>(connection_, std::move(capture), source->sourceName());
}

std::shared_ptr<AudioDataOutput> PipeWireMicrophone::makeAudioDataOutput() {
    return std::make_shared<PipeWireAudioDataOutput>();
}

}  // namespace quorvia::platform::pipewire

#include "platform/linux/pipewire_screen_capture.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <string>
#include <utility>

#include "platform/linux/pipewire_capture_stream.h"
#include "platform/linux/pipewire_sample_buffer.h"

namespace quorvia::platform::pipewire {
namespace {

// A stream with always-process runs as soon as the server has made its node (milliseconds);
// this only bounds the wait when the server misbehaves.
constexpr std::int64_t kStartTimeoutSeconds = 5;

class PipeWireDisplay final : public Display {
public:
    PipeWireDisplay(std::uint32_t nodeId, std::string nodeName) : nodeId_(nodeId), nodeName_(std::move(nodeName)) {}
    std::uint32_t nodeId() const { return nodeId_; }
    const std::string& nodeName() const { return nodeName_; }

private:
    std::uint32_t nodeId_;
    std::string nodeName_;
};

class PipeWireRunningApplication final : public RunningApplication {
public:
    explicit PipeWireRunningApplication(ApplicationClient application) : application_(std::move(application)) {}
    std::string bundleIdentifier() const override { return application_.identifier; }
    const ApplicationClient& application() const { return application_; }

private:
    ApplicationClient application_;
};

class PipeWireContentFilter final : public ContentFilter {
public:
    PipeWireContentFilter(std::shared_ptr<Display> display, CaptureExclusions exclusions)
        : display_(std::move(display)), exclusions_(std::move(exclusions)) {}
    const CaptureExclusions& exclusions() const { return exclusions_; }

private:
    std::shared_ptr<Display> display_;  // every application's sound is taken, whichever sink it plays to
    CaptureExclusions exclusions_;
};

// Records every setting; only the audio ones mean something without video.
class PipeWireStreamConfiguration final : public StreamConfiguration {
public:
    void setWidth(std::int64_t pixels) override { width_ = pixels; }
    void setHeight(std::int64_t pixels) override { height_ = pixels; }
    void setMinimumFrameInterval(std::int64_t value, std::int32_t timescale) override {
        frameIntervalValue_ = value;
        frameIntervalTimescale_ = timescale;
    }
    void setShowsCursor(bool shows) override { showsCursor_ = shows; }
    void setCapturesAudio(bool captures) override { capturesAudio_ = captures; }
    void setSampleRate(std::int64_t hertz) override { sampleRate_ = hertz; }
    void setChannelCount(std::int64_t channels) override { channelCount_ = channels; }
    void setQueueDepth(std::int64_t depth) override { queueDepth_ = depth; }
    bool respondsToSetExcludesCurrentProcessAudio() const override { return true; }
    void setExcludesCurrentProcessAudio(bool excludes) override { excludesCurrentProcessAudio_ = excludes; }

    bool capturesAudio() const { return capturesAudio_; }
    std::int64_t sampleRate() const { return sampleRate_; }
    std::int64_t channelCount() const { return channelCount_; }
    bool excludesCurrentProcessAudio() const { return excludesCurrentProcessAudio_; }

private:
    // ScreenCaptureKit's defaults.
    std::int64_t width_ = 0;
    std::int64_t height_ = 0;
    std::int64_t frameIntervalValue_ = 0;
    std::int32_t frameIntervalTimescale_ = 0;
    bool showsCursor_ = true;
    bool capturesAudio_ = false;
    std::int64_t sampleRate_ = 48000;
    std::int64_t channelCount_ = 2;
    std::int64_t queueDepth_ = 8;
    bool excludesCurrentProcessAudio_ = false;
};

// The channels the capture asks for. Never fewer than two: links into one mono port are summed
// by the server, so a centred stereo stream would arrive 6 dB hot and clip. With a left and a
// right port each application channel has one link, and the conversion takes the mean.
std::vector<std::string> captureLayout(std::int64_t channelCount) {
    return standardChannels(static_cast<std::uint32_t>(std::clamp<std::int64_t>(channelCount, 2, 8)));
}

class SystemAudioStream final : public Stream,
                                private Connection::Observer,
                                public std::enable_shared_from_this<SystemAudioStream> {
public:
    SystemAudioStream(Connection& connection, CaptureExclusions exclusions, FormatRequest format, bool capturesAudio,
                      StreamDelegate* delegate)
        : connection_(connection),
          exclusions_(std::move(exclusions)),
          format_(std::move(format)),
          capturesAudio_(capturesAudio),
          delegate_(delegate) {}

    ~SystemAudioStream() override {
        Connection::Lock lock(connection_);
        connection_.removeObserver(this);
        cancelStartTimer();
        links_.clear();
        capture_.reset();
    }

    std::optional<CaptureError> addStreamOutput(StreamOutput& output, std::int64_t outputType,
                                                std::shared_ptr<SerialQueue> queue) override {
        if (!queue) {
            return pipewireError(-EINVAL, "a stream output needs a queue");
        }
        Connection::Lock lock(connection_);
        outputs_.push_back({&output, outputType, std::move(queue)});
        return std::nullopt;
    }

    void startCapture(CaptureCompletion completion) override;
    void stopCapture(CaptureCompletion completion) override;

private:
    struct Output {
        StreamOutput* output;
        std::int64_t type;
        std::shared_ptr<SerialQueue> queue;
        std::shared_ptr<InFlightBuffers> inFlight = std::make_shared<InFlightBuffers>();
    };

    // One link from an application's output port to one of our input ports. Made by us, so it
    // goes away with our connection (object.linger is false).
    struct Link {
        SystemAudioStream* owner = nullptr;
        std::pair<std::uint32_t, std::uint32_t> ports;  // output port, input port
        pw_proxy* proxy = nullptr;
        spa_hook listener{};
        bool refused = false;  // the server would not make it; not asked again for these ports

        ~Link() {
            if (proxy != nullptr) {
                spa_hook_remove(&listener);
                pw_proxy_destroy(proxy);
            }
        }
    };

    void graphChanged() override { linkApplications(); }
    void connectionLost(const CaptureError& /*error*/) override {}  // the capture stream reports it

    void onBuffer(const NegotiatedFormat& format, std::span<const std::byte> samples);
    void onFailure(const CaptureError& error);
    void onState(pw_stream_state state);
    void linkApplications();
    void makeLink(std::uint32_t outputNode, std::uint32_t outputPort, std::uint32_t inputNode, std::uint32_t inputPort);
    void completeStart(std::optional<CaptureError> error);
    void cancelStartTimer();

    Connection& connection_;
    const CaptureExclusions exclusions_;
    const FormatRequest format_;
    const bool capturesAudio_;
    StreamDelegate* const delegate_;

    // Loop lock.
    std::vector<Output> outputs_;
    std::unique_ptr<CaptureStream> capture_;
    CaptureCompletion startCompletion_;  // set while the start waits for its answer
    bool startAnswerPending_ = false;    // a roundtrip will answer the start
    spa_source* startTimer_ = nullptr;
    bool stopRequested_ = false;
    std::map<std::pair<std::uint32_t, std::uint32_t>, std::unique_ptr<Link>> links_;
};

void SystemAudioStream::startCapture(CaptureCompletion completion) {
    if (auto error = connection_.ensureConnected()) {
        connection_.deliver([completion = std::move(completion), error = *std::move(error)] { completion(error); });
        return;
    }
    Connection::Lock lock(connection_);
    if (capture_ || stopRequested_) {
        connection_.deliver([completion = std::move(completion)] {
            completion(pipewireError(-EALREADY, "the capture was started already"));
        });
        return;
    }
    startCompletion_ = std::move(completion);
    capture_ = std::make_unique<CaptureStream>(connection_);
    if (auto error = capture_->create({.nodeName = "quorvia.system-audio",
                                       .description = "Quorvia system audio capture",
                                       .autoconnect = false,
                                       .alwaysProcess = true})) {
        return completeStart(std::move(error));
    }
    capture_->setHandlers(
        [this](const NegotiatedFormat& format, std::span<const std::byte> samples) { onBuffer(format, samples); },
        [this](const CaptureError& error) { onFailure(error); }, [this](pw_stream_state state) { onState(state); });
    connection_.addObserver(this);
    if (auto error = capture_->connect(format_)) {
        return completeStart(std::move(error));
    }

    startTimer_ = pw_loop_add_timer(
        connection_.loop(),
        [](void* data, std::uint64_t /*expirations*/) {
            static_cast<SystemAudioStream*>(data)->completeStart(
                pipewireError(-ETIMEDOUT, "the capture stream did not start"));
        },
        this);
    if (startTimer_ != nullptr) {
        timespec timeout{.tv_sec = kStartTimeoutSeconds, .tv_nsec = 0};
        pw_loop_update_timer(connection_.loop(), startTimer_, &timeout, nullptr, false);
    }
}

void SystemAudioStream::stopCapture(CaptureCompletion completion) {
    Connection::Lock lock(connection_);
    stopRequested_ = true;
    if (capture_) {
        capture_->stop();
    }
    links_.clear();
    connection_.deliver([completion = std::move(completion)] { completion(std::nullopt); });
    // A start still waiting is answered after the stop, so the stop is what ends the process.
    completeStart(std::nullopt);
}

void SystemAudioStream::onBuffer(const NegotiatedFormat& format, std::span<const std::byte> samples) {
    if (!capturesAudio_ || stopRequested_) {
        return;
    }
    std::shared_ptr<const PipeWireSampleBuffer> buffer;
    for (const auto& output : outputs_) {
        // No video on Linux; past the in-flight limit the buffer is dropped for this output.
        if (output.type != kStreamOutputTypeAudio || !output.inFlight->tryTake()) {
            continue;
        }
        if (!buffer) {
            buffer = std::make_shared<const PipeWireSampleBuffer>(format, samples);
        }
        output.queue->async([receiver = output.output, buffer, inFlight = output.inFlight] {
            receiver->streamDidOutputSampleBuffer(*buffer, kStreamOutputTypeAudio);
            inFlight->release();
        });
    }
}

void SystemAudioStream::onFailure(const CaptureError& error) {
    if (startCompletion_) {
        return completeStart(error);
    }
    if (delegate_ != nullptr && !stopRequested_) {
        connection_.deliver([delegate = delegate_, error] { delegate->streamDidStopWithError(error); });
    }
}

void SystemAudioStream::onState(pw_stream_state state) {
    if (state != PW_STREAM_STATE_STREAMING || !startCompletion_ || startAnswerPending_) {
        return;
    }
    // Link what plays now, and answer once the server has made those links, so the first
    // buffers after the answer already carry it.
    linkApplications();
    startAnswerPending_ = true;
    connection_.afterServerRoundtrip([weakSelf = weak_from_this()] {
        if (const auto self = weakSelf.lock()) {
            self->completeStart(std::nullopt);
        }
    });
}

void SystemAudioStream::linkApplications() {
    if (!capture_ || stopRequested_ || capture_->failed()) {
        return;
    }
    const std::uint32_t ourNode = capture_->nodeId();
    if (ourNode == SPA_ID_INVALID) {
        return;
    }
    const Graph& graph = connection_.graph();
    std::map<std::string, std::uint32_t> inputs;  // our input ports by channel
    for (const auto& [id, port] : graph.ports) {
        if (port.nodeId == ourNode && !port.isOutput && !port.isMonitor) {
            inputs[port.channel] = id;
        }
    }
    if (inputs.empty()) {
        return;  // the server has not announced our ports yet
    }
    std::vector<std::string> ourChannels;
    for (const auto& [channel, id] : inputs) {
        ourChannels.push_back(channel);
    }

    std::map<std::uint32_t, std::vector<const GraphPort*>> outputsByNode;
    for (const auto& [id, port] : graph.ports) {
        if (port.isOutput && !port.isMonitor && port.nodeId != ourNode) {
            outputsByNode[port.nodeId].push_back(&port);
        }
    }

    std::map<std::pair<std::uint32_t, std::uint32_t>, std::uint32_t> wanted;  // -> output node
    for (const auto& [nodeId, ports] : outputsByNode) {
        const GraphNode* node = graph.node(nodeId);
        if (node == nullptr || !shouldCapture(graph, *node, exclusions_)) {
            continue;
        }
        for (const GraphPort* port : ports) {
            for (const auto& channel : captureChannelsFor(port->channel, ourChannels)) {
                wanted[{port->id, inputs.at(channel)}] = nodeId;
            }
        }
    }

    std::erase_if(links_, [&wanted](const auto& entry) { return !wanted.contains(entry.first); });
    for (const auto& [ports, outputNode] : wanted) {
        if (!links_.contains(ports)) {
            makeLink(outputNode, ports.first, ourNode, ports.second);
        }
    }
}

void SystemAudioStream::makeLink(std::uint32_t outputNode, std::uint32_t outputPort, std::uint32_t inputNode,
                                 std::uint32_t inputPort) {
    const auto text = [](std::uint32_t value) { return std::to_string(value); };
    pw_properties* props = pw_properties_new(
        PW_KEY_LINK_OUTPUT_NODE, text(outputNode).c_str(), PW_KEY_LINK_OUTPUT_PORT, text(outputPort).c_str(),
        PW_KEY_LINK_INPUT_NODE, text(inputNode).c_str(), PW_KEY_LINK_INPUT_PORT, text(inputPort).c_str(),
        PW_KEY_OBJECT_LINGER, "false", nullptr);
    auto link = std::make_unique<Link>();
    link->owner = this;
    link->ports = {outputPort, inputPort};
    link->proxy = static_cast<pw_proxy*>(pw_core_create_object(connection_.core(), "link-factory",
                                                               PW_TYPE_INTERFACE_Link, PW_VERSION_LINK, &props->dict, 0));
    pw_properties_free(props);
    if (link->proxy == nullptr) {
        link->refused = true;
    } else {
        static const pw_proxy_events events = {
            .version = PW_VERSION_PROXY_EVENTS,
            .destroy = nullptr,
            .bound = nullptr,
            .removed =
                [](void* data) {
                    // The link went away with one of its ports; a new port gets a new link.
                    auto* gone = static_cast<Link*>(data);
                    gone->owner->links_.erase(gone->ports);
                },
            .done = nullptr,
            .error =
                [](void* data, int /*seq*/, int /*res*/, const char* /*message*/) {
                    static_cast<Link*>(data)->refused = true;
                },
        };
        pw_proxy_add_listener(link->proxy, &link->listener, &events, link.get());
    }
    links_[{outputPort, inputPort}] = std::move(link);
}

void SystemAudioStream::completeStart(std::optional<CaptureError> error) {
    cancelStartTimer();
    if (!startCompletion_) {
        return;
    }
    connection_.deliver([completion = std::exchange(startCompletion_, nullptr), error = std::move(error)] {
        completion(error);
    });
}

void SystemAudioStream::cancelStartTimer() {
    if (startTimer_ != nullptr) {
        pw_loop_destroy_source(connection_.loop(), startTimer_);
        startTimer_ = nullptr;
    }
}

}  // namespace

void PipeWireScreenCapture::getShareableContent(bool /*excludingDesktopWindows*/, bool /*onScreenWindowsOnly*/,
                                                ShareableContentCompletion completion) {
    connection_.deliver([this, completion = std::move(completion)] {
        if (auto error = connection_.ensureConnected()) {
            completion(nullptr, std::move(error));
            return;
        }
        auto content = std::make_shared<ShareableContent>();
        {
            Connection::Lock lock(connection_);
            const Graph& graph = connection_.graph();
            for (const auto sinkId : sinksDefaultFirst(graph)) {
                content->displays.push_back(std::make_shared<PipeWireDisplay>(
                    sinkId, std::string(property(graph.nodes.at(sinkId).props, "node.name"))));
            }
            for (auto& application : runningApplications(graph)) {
                content->applications.push_back(std::make_shared<PipeWireRunningApplication>(std::move(application)));
            }
        }
        completion(std::move(content), std::nullopt);
    });
}

std::shared_ptr<ContentFilter> PipeWireScreenCapture::makeContentFilter(
    const std::shared_ptr<Display>& display,
    const std::vector<std::shared_ptr<RunningApplication>>& excludedApplications) {
    CaptureExclusions exclusions;
    for (const auto& application : excludedApplications) {
        const auto* ours = dynamic_cast<const PipeWireRunningApplication*>(application.get());
        if (ours == nullptr) {
            continue;
        }
        for (const auto& serial : ours->application().nodeSerials) {
            if (!serial.empty()) {
                exclusions.nodeSerials.insert(serial);
            }
        }
        if (!ours->application().identifier.empty()) {
            exclusions.identifiers.insert(ours->application().identifier);
        }
    }
    return std::make_shared<PipeWireContentFilter>(display, std::move(exclusions));
}

std::shared_ptr<StreamConfiguration> PipeWireScreenCapture::makeStreamConfiguration() {
    return std::make_shared<PipeWireStreamConfiguration>();
}

std::shared_ptr<Stream> PipeWireScreenCapture::makeStream(const std::shared_ptr<ContentFilter>& filter,
                                                          const std::shared_ptr<StreamConfiguration>& configuration,
                                                          StreamDelegate* delegate) {
    const auto* ourFilter = dynamic_cast<const PipeWireContentFilter*>(filter.get());
    const auto* settings = dynamic_cast<const PipeWireStreamConfiguration*>(configuration.get());
    const PipeWireStreamConfiguration defaults;
    if (settings == nullptr) {
        settings = &defaults;
    }
    CaptureExclusions exclusions = ourFilter != nullptr ? ourFilter->exclusions() : CaptureExclusions{};
    if (settings->excludesCurrentProcessAudio()) {
        exclusions.excludedProcess = ::getpid();
    }
    FormatRequest format{
        .sampleFormat = SampleFormat::Float32,
        .rate = static_cast<std::uint32_t>(std::clamp<std::int64_t>(settings->sampleRate(), 1, 384000)),
        .channels = captureLayout(settings->channelCount()),
    };
    return std::make_shared<SystemAudioStream>(connection_, std::move(exclusions), std::move(format),
                                               settings->capturesAudio(), delegate);
}

}  // namespace quorvia::platform::pipewire

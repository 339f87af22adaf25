#include "platform/linux/pipewire_capture_stream.h"

#include <spa/param/audio/format-utils.h>
#include <spa/param/format-utils.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <string_view>
#include <utility>

namespace quorvia::platform::pipewire {
namespace {

struct NamedChannel {
    std::string_view name;
    spa_audio_channel position;
};

constexpr std::array kChannels = {
    NamedChannel{"MONO", SPA_AUDIO_CHANNEL_MONO}, NamedChannel{"FL", SPA_AUDIO_CHANNEL_FL},
    NamedChannel{"FR", SPA_AUDIO_CHANNEL_FR},     NamedChannel{"FC", SPA_AUDIO_CHANNEL_FC},
    NamedChannel{"LFE", SPA_AUDIO_CHANNEL_LFE},   NamedChannel{"RL", SPA_AUDIO_CHANNEL_RL},
    NamedChannel{"RR", SPA_AUDIO_CHANNEL_RR},     NamedChannel{"SL", SPA_AUDIO_CHANNEL_SL},
    NamedChannel{"SR", SPA_AUDIO_CHANNEL_SR},
};

spa_audio_channel positionNamed(std::string_view name) {
    const auto found = std::find_if(kChannels.begin(), kChannels.end(),
                                    [name](const NamedChannel& channel) { return channel.name == name; });
    return found == kChannels.end() ? SPA_AUDIO_CHANNEL_UNKNOWN : found->position;
}

}  // namespace

std::vector<std::string> standardChannels(std::uint32_t count) {
    if (count <= 1) {
        return {"MONO"};
    }
    // FL FR FC LFE RL RR SL SR: the order PipeWire lays out 2.0 up to 7.1.
    std::vector<std::string> channels;
    for (std::uint32_t i = 1; i < kChannels.size() && channels.size() < count; ++i) {
        channels.emplace_back(kChannels[i].name);
    }
    return channels;
}

CaptureStream::CaptureStream(Connection& connection) : connection_(connection) {}

CaptureStream::~CaptureStream() {
    connection_.removeObserver(this);
    if (stream_ != nullptr) {
        spa_hook_remove(&streamListener_);
        pw_stream_destroy(stream_);
    }
}

std::optional<CaptureError> CaptureStream::create(const StreamIdentity& identity) {
    if (connection_.core() == nullptr) {
        return pipewireError(-ENOTCONN, "no connection to the audio server");
    }
    if (const auto& lost = connection_.connectionError()) {
        return lost;
    }
    pw_properties* props = pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture",
                                             PW_KEY_NODE_NAME, identity.nodeName.c_str(), PW_KEY_NODE_DESCRIPTION,
                                             identity.description.c_str(), nullptr);
    // About 10 ms per buffer, so a chunk reaches the host within a few tens of milliseconds.
    // PipeWire rounds the quantum down to a power of two at the graph rate: 240/24000 would be
    // 480 at 48 kHz and run at 256 (5.3 ms, twice the lines); 256/24000 runs at 512 (10.7 ms).
    pw_properties_set(props, PW_KEY_NODE_LATENCY, "256/24000");
    pw_properties_set(props, PW_KEY_NODE_AUTOCONNECT, identity.autoconnect ? "true" : "false");
    if (!identity.target.empty()) {
        pw_properties_set(props, PW_KEY_TARGET_OBJECT, identity.target.c_str());
    }
    if (identity.dontReconnect) {
        pw_properties_set(props, PW_KEY_NODE_DONT_RECONNECT, "true");
    }
    if (identity.alwaysProcess) {
        pw_properties_set(props, PW_KEY_NODE_ALWAYS_PROCESS, "true");
    }
    autoconnect_ = identity.autoconnect;
    stream_ = pw_stream_new(connection_.core(), identity.nodeName.c_str(), props);
    if (stream_ == nullptr) {
        return pipewireError(-errno, "cannot make a capture stream");
    }
    static const pw_stream_events events = {
        .version = PW_VERSION_STREAM_EVENTS,
        .destroy = nullptr,
        .state_changed =
            [](void* data, pw_stream_state /*old*/, pw_stream_state state, const char* error) {
                static_cast<CaptureStream*>(data)->onStateChanged(state, error);
            },
        .control_info = nullptr,
        .io_changed = nullptr,
        .param_changed = [](void* data, std::uint32_t id,
                            const spa_pod* param) { static_cast<CaptureStream*>(data)->onParamChanged(id, param); },
        .add_buffer = nullptr,
        .remove_buffer = nullptr,
        .process = [](void* data) { static_cast<CaptureStream*>(data)->onProcess(); },
        .drained = nullptr,
        .command = nullptr,
        .trigger_done = nullptr,
    };
    pw_stream_add_listener(stream_, &streamListener_, &events, this);
    connection_.addObserver(this);
    return std::nullopt;
}

void CaptureStream::setHandlers(BufferHandler onBuffer, FailureHandler onFailure, StateHandler onState) {
    onBuffer_ = std::move(onBuffer);
    onFailure_ = std::move(onFailure);
    onState_ = std::move(onState);
}

std::optional<CaptureError> CaptureStream::connect(const FormatRequest& request) {
    if (stream_ == nullptr) {
        return pipewireError(-EINVAL, "the capture stream was never made");
    }
    if (const auto& lost = connection_.connectionError()) {
        return lost;
    }
    spa_audio_info_raw info{};
    info.format = request.sampleFormat == SampleFormat::Float32 ? SPA_AUDIO_FORMAT_F32 : SPA_AUDIO_FORMAT_S16;
    info.rate = request.rate;
    info.channels = static_cast<std::uint32_t>(std::min<std::size_t>(request.channels.size(), SPA_AUDIO_MAX_CHANNELS));
    for (std::uint32_t i = 0; i < info.channels; ++i) {
        info.position[i] = positionNamed(request.channels[i]);
    }
    std::array<std::uint8_t, 1024> podBuffer{};
    spa_pod_builder builder{};
    spa_pod_builder_init(&builder, podBuffer.data(), static_cast<std::uint32_t>(podBuffer.size()));
    const spa_pod* params[] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};

    // No RT_PROCESS: process runs on the loop thread, where copying and posting may allocate.
    auto flags = static_cast<pw_stream_flags>(PW_STREAM_FLAG_MAP_BUFFERS);
    if (autoconnect_) {
        flags = static_cast<pw_stream_flags>(flags | PW_STREAM_FLAG_AUTOCONNECT);
    }
    const int res = pw_stream_connect(stream_, PW_DIRECTION_INPUT, PW_ID_ANY, flags, params, 1);
    if (res < 0) {
        return pipewireError(res, "cannot connect the capture stream");
    }
    connected_ = true;
    return std::nullopt;
}

void CaptureStream::stop() {
    if (stopped_) {
        return;
    }
    stopped_ = true;
    if (stream_ != nullptr && connected_) {
        pw_stream_disconnect(stream_);
    }
}

std::uint32_t CaptureStream::nodeId() const {
    return stream_ == nullptr ? SPA_ID_INVALID : pw_stream_get_node_id(stream_);
}

void CaptureStream::connectionLost(const CaptureError& error) { fail(error); }

void CaptureStream::fail(const CaptureError& error) {
    if (stopped_ || failed_) {
        return;
    }
    failed_ = true;
    if (onFailure_) {
        onFailure_(error);
    }
    connection_.wakeWaiters();
}

void CaptureStream::onStateChanged(pw_stream_state state, const char* error) {
    const pw_stream_state previous = std::exchange(state_, state);
    if (state == PW_STREAM_STATE_ERROR) {
        // A broken connection is told in the core's own words when it comes first.
        const auto& lost = connection_.connectionError();
        fail(lost ? *lost : pipewireError(-EIO, "the capture stream failed", error ? error : ""));
    } else if (state == PW_STREAM_STATE_UNCONNECTED && previous != PW_STREAM_STATE_UNCONNECTED && connected_) {
        const auto& lost = connection_.connectionError();
        fail(lost ? *lost : pipewireError(-ENOTCONN, "the capture stream was disconnected"));
    }
    if (onState_) {
        onState_(state);
    }
    connection_.wakeWaiters();
}

void CaptureStream::onParamChanged(std::uint32_t id, const spa_pod* param) {
    if (id != SPA_PARAM_Format) {
        return;
    }
    format_.reset();
    std::uint32_t mediaType = 0;
    std::uint32_t mediaSubtype = 0;
    if (param == nullptr || spa_format_parse(param, &mediaType, &mediaSubtype) < 0 ||
        mediaType != SPA_MEDIA_TYPE_audio || mediaSubtype != SPA_MEDIA_SUBTYPE_raw) {
        return;
    }
    spa_audio_info_raw info{};
    if (spa_format_audio_raw_parse(param, &info) < 0 || info.channels == 0) {
        return;
    }
    // The request was exact, so the adapter converts to it; anything else is left undelivered.
    if (info.format == SPA_AUDIO_FORMAT_F32) {
        format_ = NegotiatedFormat{SampleFormat::Float32, info.channels, info.rate};
    } else if (info.format == SPA_AUDIO_FORMAT_S16) {
        format_ = NegotiatedFormat{SampleFormat::Signed16, info.channels, info.rate};
    }
}

void CaptureStream::onProcess() {
    while (pw_buffer* buffer = pw_stream_dequeue_buffer(stream_)) {
        const spa_buffer* spaBuffer = buffer->buffer;
        if (format_ && !stopped_ && onBuffer_ && spaBuffer != nullptr && spaBuffer->n_datas > 0) {
            const spa_data& data = spaBuffer->datas[0];
            if (data.data != nullptr && data.chunk != nullptr) {
                const std::uint32_t offset = std::min(data.chunk->offset, data.maxsize);
                const std::uint32_t size = std::min(data.chunk->size, data.maxsize - offset);
                if (size > 0) {
                    onBuffer_(*format_, {static_cast<const std::byte*>(data.data) + offset, size});
                }
            }
        }
        pw_stream_queue_buffer(stream_, buffer);
    }
}

}  // namespace quorvia::platform::pipewire

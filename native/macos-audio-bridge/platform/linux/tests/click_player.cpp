#include "click_player.h"

#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>

#include <array>
#include <cmath>
#include <cstring>
#include <mutex>

namespace quorvia::testing {
namespace {

constexpr std::uint32_t kRate = 48000;
constexpr std::uint32_t kClickFrames = kRate / 50;  // 20 ms

}  // namespace

// Loop lock, except `loop`, set once.
struct ClickPlayer::State {
    pw_thread_loop* loop = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    pw_stream* stream = nullptr;
    spa_hook listener{};
    bool streaming = false;
    bool clickRequested = false;
    std::uint32_t clickPosition = 0;  // frames of the click already written
    std::optional<std::chrono::steady_clock::time_point> clickStarted;

    void process() {
        pw_buffer* buffer = pw_stream_dequeue_buffer(stream);
        if (buffer == nullptr) {
            return;
        }
        spa_data& data = buffer->buffer->datas[0];
        auto* samples = static_cast<float*>(data.data);
        if (samples == nullptr) {
            pw_stream_queue_buffer(stream, buffer);
            return;
        }
        constexpr std::uint32_t kFrameBytes = sizeof(float);
        std::uint32_t frames = data.maxsize / kFrameBytes;
        if (buffer->requested > 0 && buffer->requested < frames) {
            frames = static_cast<std::uint32_t>(buffer->requested);
        }
        for (std::uint32_t i = 0; i < frames; ++i) {
            float value = 0.0f;
            if (clickRequested && clickPosition < kClickFrames) {
                if (clickPosition == 0) {
                    clickStarted = std::chrono::steady_clock::now();
                }
                value = 0.5f * static_cast<float>(std::sin(2.0 * M_PI * 1000.0 * clickPosition / kRate));
                ++clickPosition;
            }
            samples[i] = value;
        }
        data.chunk->offset = 0;
        data.chunk->stride = static_cast<std::int32_t>(kFrameBytes);
        data.chunk->size = frames * kFrameBytes;
        pw_stream_queue_buffer(stream, buffer);
        pw_thread_loop_signal(loop, false);
    }
};

std::unique_ptr<ClickPlayer> ClickPlayer::start(const std::string& runtimeDir, const std::string& sink,
                                                const std::string& applicationId, std::string& whyNot) {
    static std::once_flag initialized;
    std::call_once(initialized, [] { pw_init(nullptr, nullptr); });

    std::unique_ptr<ClickPlayer> player(new ClickPlayer());
    player->state_ = std::make_unique<State>();
    State& state = *player->state_;
    state.loop = pw_thread_loop_new("click-player", nullptr);
    state.context = pw_context_new(pw_thread_loop_get_loop(state.loop), nullptr, 0);
    pw_thread_loop_start(state.loop);
    pw_thread_loop_lock(state.loop);
    const std::string socket = runtimeDir + "/pipewire-0";
    state.core = pw_context_connect(state.context, pw_properties_new(PW_KEY_REMOTE_NAME, socket.c_str(), nullptr), 0);
    if (state.core == nullptr) {
        pw_thread_loop_unlock(state.loop);
        whyNot = std::string("cannot connect: ") + std::strerror(errno);
        return nullptr;
    }
    // A desktop player's usual buffer, larger than the bridge's, so the graph runs at the quantum
    // the bridge asks for and the measurement is the bridge's, not the player's.
    pw_properties* props = pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback",
                                             PW_KEY_TARGET_OBJECT, sink.c_str(), PW_KEY_APP_ID, applicationId.c_str(),
                                             PW_KEY_NODE_LATENCY, "1024/48000", nullptr);
    state.stream = pw_stream_new(state.core, "click-player", props);
    static const pw_stream_events events = {
        .version = PW_VERSION_STREAM_EVENTS,
        .destroy = nullptr,
        .state_changed =
            [](void* data, pw_stream_state, pw_stream_state now, const char*) {
                auto* self = static_cast<State*>(data);
                self->streaming = now == PW_STREAM_STATE_STREAMING;
                pw_thread_loop_signal(self->loop, false);
            },
        .control_info = nullptr,
        .io_changed = nullptr,
        .param_changed = nullptr,
        .add_buffer = nullptr,
        .remove_buffer = nullptr,
        .process = [](void* data) { static_cast<State*>(data)->process(); },
        .drained = nullptr,
        .command = nullptr,
        .trigger_done = nullptr,
    };
    pw_stream_add_listener(state.stream, &state.listener, &events, &state);
    spa_audio_info_raw info{};
    info.format = SPA_AUDIO_FORMAT_F32;
    info.rate = kRate;
    info.channels = 1;
    info.position[0] = SPA_AUDIO_CHANNEL_MONO;
    std::array<std::uint8_t, 512> podBuffer{};
    spa_pod_builder builder{};
    spa_pod_builder_init(&builder, podBuffer.data(), static_cast<std::uint32_t>(podBuffer.size()));
    const spa_pod* params[] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
    const int res = pw_stream_connect(
        state.stream, PW_DIRECTION_OUTPUT, PW_ID_ANY,
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS), params, 1);
    pw_thread_loop_unlock(state.loop);
    if (res < 0) {
        whyNot = std::string("cannot connect the stream: ") + std::strerror(-res);
        return nullptr;
    }
    return player;
}

ClickPlayer::~ClickPlayer() {
    if (!state_) {
        return;
    }
    // Tear down while the loop thread runs: once it has stopped, PipeWire calls `process` straight
    // from its data thread instead of handing it to the loop, racing the last loop-side call.
    pw_thread_loop_lock(state_->loop);
    if (state_->stream != nullptr) {
        pw_stream_destroy(state_->stream);
    }
    if (state_->core != nullptr) {
        pw_core_disconnect(state_->core);
    }
    pw_thread_loop_unlock(state_->loop);
    pw_thread_loop_stop(state_->loop);
    pw_context_destroy(state_->context);
    pw_thread_loop_destroy(state_->loop);
}

bool ClickPlayer::waitUntilStreaming(std::chrono::milliseconds timeout) {
    pw_thread_loop_lock(state_->loop);
    timespec deadline{};
    pw_thread_loop_get_time(state_->loop, &deadline,
                            std::chrono::duration_cast<std::chrono::nanoseconds>(timeout).count());
    while (!state_->streaming && pw_thread_loop_timed_wait_full(state_->loop, &deadline) == 0) {
    }
    const bool streaming = state_->streaming;
    pw_thread_loop_unlock(state_->loop);
    return streaming;
}

std::optional<std::chrono::steady_clock::time_point> ClickPlayer::click(std::chrono::milliseconds timeout) {
    pw_thread_loop_lock(state_->loop);
    state_->clickRequested = true;
    timespec deadline{};
    pw_thread_loop_get_time(state_->loop, &deadline,
                            std::chrono::duration_cast<std::chrono::nanoseconds>(timeout).count());
    while (!state_->clickStarted && pw_thread_loop_timed_wait_full(state_->loop, &deadline) == 0) {
    }
    const auto started = state_->clickStarted;
    pw_thread_loop_unlock(state_->loop);
    return started;
}

void ClickPlayer::rearm() {
    pw_thread_loop_lock(state_->loop);
    state_->clickRequested = false;
    state_->clickPosition = 0;
    state_->clickStarted.reset();
    pw_thread_loop_unlock(state_->loop);
}

}  // namespace quorvia::testing

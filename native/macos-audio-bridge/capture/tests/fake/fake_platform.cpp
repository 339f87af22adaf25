#include "fake_platform.h"

#include <cstdlib>
#include <cstring>
#include <sstream>
#include <thread>
#include <utility>

#include "platform/linux/signals_blocked.h"

namespace quorvia::fake {

using platform::AudioBufferList;
using platform::CaptureCompletion;
using platform::RetainedBlockBuffer;
using platform::SerialQueue;
using platform::StreamDescription;

namespace {

// Completions arrive on a thread of the platform's own, which (like a dispatch worker) takes none
// of the program's signals.
template <typename Work>
void answerOnAnotherThread(Work&& work) {
    const platform::AsyncSignalsBlocked blocked;
    std::thread(std::forward<Work>(work)).detach();
}

}  // namespace

Script parseScript(const std::string& text) {
    Script script;
    std::stringstream entries(text);
    std::string entry;
    while (std::getline(entries, entry, ';')) {
        const auto equals = entry.find('=');
        if (equals != std::string::npos) {
            script[entry.substr(0, equals)] = entry.substr(equals + 1);
        }
    }
    return script;
}

namespace {

std::string percentDecoded(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            out.push_back(static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16)));
            i += 2;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::stringstream stream(text);
    std::string part;
    while (std::getline(stream, part, separator)) {
        parts.push_back(part);
    }
    return parts;
}

// "error:<text>" -> the error; anything else -> none.
std::optional<CaptureError> errorFrom(const std::string& answer) {
    if (answer.rfind("error:", 0) == 0) {
        return CaptureError{"FakePlatformErrorDomain", -1, answer.substr(6)};
    }
    return std::nullopt;
}

class HeldBlock final : public RetainedBlockBuffer {
public:
    explicit HeldBlock(std::shared_ptr<const std::vector<std::uint8_t>> bytes) : bytes_(std::move(bytes)) {}

private:
    std::shared_ptr<const std::vector<std::uint8_t>> bytes_;
};

// One mono buffer of 240 frames; sample k of buffer b is a known function of b and k.
class FakeSampleBuffer final : public platform::SampleBuffer {
public:
    FakeSampleBuffer(const std::string& kind, int index) : kind_(kind) {
        auto bytes = std::make_shared<std::vector<std::uint8_t>>();
        if (kind == "s16") {
            for (int k = 0; k < 240; ++k) {
                const auto sample = static_cast<std::int16_t>(index * 240 * 37 + k * 37);
                std::uint8_t raw[2];
                std::memcpy(raw, &sample, 2);
                bytes->insert(bytes->end(), raw, raw + 2);
            }
        } else if (kind == "f32") {
            for (int k = 0; k < 240; ++k) {
                const float sample = 0.5f;
                std::uint8_t raw[4];
                std::memcpy(raw, &sample, 4);
                bytes->insert(bytes->end(), raw, raw + 4);
            }
        }
        bytes_ = std::move(bytes);
    }

    bool hasFormatDescription() const override { return true; }
    std::optional<StreamDescription> audioStreamDescription() const override {
        if (kind_ == "f32") {
            return StreamDescription{platform::kFormatFlagIsFloat | platform::kFormatFlagIsNonInterleaved, 1, 32};
        }
        return StreamDescription{platform::kFormatFlagIsSignedInteger, 1, 16};
    }
    std::int64_t numSamples() const override { return kind_ == "empty" ? 0 : 240; }
    std::int32_t fillAudioBufferList(AudioBufferList& list, std::unique_ptr<RetainedBlockBuffer>& block) const override {
        list.numberBuffers = 1;
        list.buffers.at(0) = {1, static_cast<std::uint32_t>(bytes_->size()), bytes_->data()};
        block = std::make_unique<HeldBlock>(bytes_);
        return 0;
    }

private:
    std::string kind_;
    std::shared_ptr<const std::vector<std::uint8_t>> bytes_;
};

}  // namespace

struct FakeSystem::State {
    std::mutex mutex;
    // Held completions, answered by commands.
    std::function<void(bool)> heldAccess;
    std::function<void()> heldContent;
    CaptureCompletion heldStart;
    std::vector<CaptureCompletion> heldStops;
    // Where buffers go.
    platform::AudioSampleBufferDelegate* microphoneDelegate = nullptr;
    std::shared_ptr<SerialQueue> microphoneQueue;
    platform::StreamOutput* streamOutput = nullptr;
    std::shared_ptr<SerialQueue> streamQueue;
    platform::StreamDelegate* streamDelegate = nullptr;
    platform::CaptureEndedHandler endedHandler;
    int delivered = 0;
};

namespace {

class Recorder {
public:
    explicit Recorder(FakeSystem& system) : system_(system) {}

protected:
    void event(const std::string& line) const { system_.event(line); }
    // A held answer is in place before its call is reported, so a test that answers as soon as it
    // sees the call always finds it.
    template <typename Completion>
    void holdThenRecord(Completion& slot, Completion completion, const std::string& call) const {
        {
            std::lock_guard lock(state().mutex);
            slot = std::move(completion);
        }
        event(call);
    }
    std::string value(const std::string& key, const std::string& fallback) const { return system_.value(key, fallback); }
    FakeSystem::State& state() const { return *system_.state(); }
    FakeSystem& system_;
};

class RecordingQueue final : public SerialQueue {
public:
    RecordingQueue(std::shared_ptr<SerialQueue> real, std::string queueLabel)
        : real_(std::move(real)), label(std::move(queueLabel)) {}
    void async(std::function<void()> work) override { real_->async(std::move(work)); }

    std::shared_ptr<SerialQueue> real_;
    const std::string label;
};

std::string labelOf(const std::shared_ptr<SerialQueue>& queue) {
    const auto* recording = dynamic_cast<const RecordingQueue*>(queue.get());
    return recording ? recording->label : "?";
}

// The real process services, with the calls recorded.
class FakeProcess final : public platform::ProcessServices, Recorder {
public:
    FakeProcess(FakeSystem& system, platform::ProcessServices& real) : Recorder(system), real_(real) {}

    std::shared_ptr<SerialQueue> makeSerialQueue(const std::string& label) override {
        event("makeSerialQueue " + label);
        return std::make_shared<RecordingQueue>(real_.makeSerialQueue(label), label);
    }
    std::unique_ptr<platform::SignalSource> makeSignalSource(int signalNumber, std::function<void()> handler) override {
        event("makeSignalSource " + std::to_string(signalNumber));
        auto source = real_.makeSignalSource(signalNumber, std::move(handler));
        event("signalSourceReady " + std::to_string(signalNumber));
        return source;
    }
    void runMainLoop() override {
        event("runMainLoop");
        real_.runMainLoop();
    }
    void launchTask(std::function<void()> body) override { real_.launchTask(std::move(body)); }
    [[noreturn]] void exit(int status) override {
        real_.exit(status);
        std::abort();  // not reached: the real exit does not return
    }

private:
    platform::ProcessServices& real_;
};

class FakeDevice final : public platform::AudioCaptureDevice {};
class FakeInput final : public platform::AudioDeviceInput {};

class FakeOutput final : public platform::AudioDataOutput, Recorder {
public:
    using Recorder::Recorder;
    void setAudioSettings(const platform::AudioSettings& s) override {
        std::ostringstream line;
        line << "setAudioSettings " << s.formatID << ' ' << s.sampleRate << ' ' << s.numberOfChannels << ' '
             << s.linearPCMBitDepth << ' ' << s.linearPCMIsFloat << ' ' << s.linearPCMIsBigEndian << ' '
             << s.linearPCMIsNonInterleaved;
        event(line.str());
    }
    void setSampleBufferDelegate(platform::AudioSampleBufferDelegate* delegate, std::shared_ptr<SerialQueue> queue) override {
        event("setSampleBufferDelegate " + labelOf(queue));
        std::lock_guard lock(state().mutex);
        state().microphoneDelegate = delegate;
        state().microphoneQueue = std::move(queue);
    }
};

class FakeSession final : public platform::CaptureSession, Recorder {
public:
    using Recorder::Recorder;
    bool canAddInput(const platform::AudioDeviceInput&) override {
        event("canAddInput");
        return value("canAddInput", "1") == "1";
    }
    bool canAddOutput(const platform::AudioDataOutput&) override {
        event("canAddOutput");
        return value("canAddOutput", "1") == "1";
    }
    void beginConfiguration() override { event("beginConfiguration"); }
    void addInput(std::shared_ptr<platform::AudioDeviceInput>) override { event("addInput"); }
    void addOutput(std::shared_ptr<platform::AudioDataOutput>) override { event("addOutput"); }
    void commitConfiguration() override { event("commitConfiguration"); }
    void startRunning() override {
        event("startRunning");
        const auto endDuringStart = value("endDuringStart", "");
        if (!endDuringStart.empty()) {
            system_.command("end " + endDuringStart);
        }
        const int count = std::stoi(value("deliver", "0"));
        if (count > 0) {
            system_.command("deliver " + std::to_string(count) + " s16");
        }
    }
    void stopRunning() override {
        event("stopRunning");
        const auto answer = value("stopRunning", "ok");
        if (answer.rfind("end:", 0) == 0) {
            system_.command("end " + answer.substr(4));
        }
    }
    void setCaptureEndedHandler(platform::CaptureEndedHandler handler) override {
        event("setCaptureEndedHandler");
        std::lock_guard lock(state().mutex);
        state().endedHandler = std::move(handler);
    }
};

class FakeMicrophone final : public platform::MicrophoneCapture, Recorder {
public:
    using Recorder::Recorder;
    std::unique_ptr<platform::CaptureSession> makeCaptureSession() override {
        event("makeCaptureSession");
        return std::make_unique<FakeSession>(system_);
    }
    std::int64_t authorizationStatusForAudio() override {
        event("authorizationStatusForAudio");
        return std::stoll(value("auth", "3"));
    }
    void requestAccessForAudio(std::function<void(bool)> completion) override {
        const auto answer = value("access", "grant");
        if (answer == "hold") {
            holdThenRecord(state().heldAccess, std::move(completion), "requestAccessForAudio");
            return;
        }
        event("requestAccessForAudio");
        // Answer from another thread, as the platform does.
        answerOnAnotherThread([completion = std::move(completion), granted = answer == "grant"] { completion(granted); });
    }
    std::shared_ptr<platform::AudioCaptureDevice> defaultAudioDevice() override {
        event("defaultAudioDevice");
        return value("device", "present") == "present" ? std::make_shared<FakeDevice>() : nullptr;
    }
    std::variant<std::shared_ptr<platform::AudioDeviceInput>, CaptureError> makeDeviceInput(
        const std::shared_ptr<platform::AudioCaptureDevice>&) override {
        event("makeDeviceInput");
        if (auto error = errorFrom(value("input", "ok"))) {
            return *error;
        }
        return std::make_shared<FakeInput>();
    }
    std::shared_ptr<platform::AudioDataOutput> makeAudioDataOutput() override {
        event("makeAudioDataOutput");
        return std::make_shared<FakeOutput>(system_);
    }
};

class FakeDisplay final : public platform::Display {
public:
    explicit FakeDisplay(int position) : index(position) {}
    const int index;
};

class FakeApplication final : public platform::RunningApplication {
public:
    explicit FakeApplication(std::string identifier) : identifier_(std::move(identifier)) {}
    std::string bundleIdentifier() const override { return identifier_; }

private:
    std::string identifier_;
};

class FakeFilter final : public platform::ContentFilter {};

class FakeConfiguration final : public platform::StreamConfiguration, Recorder {
public:
    using Recorder::Recorder;
    void setWidth(std::int64_t v) override { event("setWidth " + std::to_string(v)); }
    void setHeight(std::int64_t v) override { event("setHeight " + std::to_string(v)); }
    void setMinimumFrameInterval(std::int64_t value, std::int32_t timescale) override {
        event("setMinimumFrameInterval " + std::to_string(value) + "/" + std::to_string(timescale));
    }
    void setShowsCursor(bool v) override { event("setShowsCursor " + std::to_string(v)); }
    void setCapturesAudio(bool v) override { event("setCapturesAudio " + std::to_string(v)); }
    void setSampleRate(std::int64_t v) override { event("setSampleRate " + std::to_string(v)); }
    void setChannelCount(std::int64_t v) override { event("setChannelCount " + std::to_string(v)); }
    void setQueueDepth(std::int64_t v) override { event("setQueueDepth " + std::to_string(v)); }
    bool respondsToSetExcludesCurrentProcessAudio() const override {
        event("respondsToSetExcludesCurrentProcessAudio");
        return value("excludes", "1") == "1";
    }
    void setExcludesCurrentProcessAudio(bool v) override { event("setExcludesCurrentProcessAudio " + std::to_string(v)); }
};

class FakeStream final : public platform::Stream, Recorder {
public:
    using Recorder::Recorder;
    std::optional<CaptureError> addStreamOutput(platform::StreamOutput& output, std::int64_t type,
                                                std::shared_ptr<SerialQueue> queue) override {
        event("addStreamOutput " + std::to_string(type) + " " + labelOf(queue));
        if (auto error = errorFrom(value("addOutput", "ok"))) {
            return error;
        }
        std::lock_guard lock(state().mutex);
        state().streamOutput = &output;
        state().streamQueue = std::move(queue);
        return std::nullopt;
    }
    void startCapture(CaptureCompletion completion) override {
        const auto answer = value("start", "ok");
        if (answer == "hold") {
            holdThenRecord(state().heldStart, std::move(completion), "startCapture");
            return;
        }
        event("startCapture");
        const int count = std::stoi(value("deliver", "0"));
        if (count > 0 && !errorFrom(answer)) {
            system_.command("deliver " + std::to_string(count) + " f32 1");
        }
        answerOnAnotherThread([completion = std::move(completion), error = errorFrom(answer)] { completion(error); });
    }
    void stopCapture(CaptureCompletion completion) override {
        const auto answer = value("stop", "ok");
        if (answer == "hold") {
            {
                std::lock_guard lock(state().mutex);
                state().heldStops.push_back(std::move(completion));
            }
            event("stopCapture");
            return;
        }
        event("stopCapture");
        answerOnAnotherThread([completion = std::move(completion), error = errorFrom(answer)] { completion(error); });
    }
};

class FakeScreenCapture final : public platform::ScreenCapture, Recorder {
public:
    using Recorder::Recorder;
    void getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                             platform::ShareableContentCompletion completion) override {
        const auto call = "getShareableContent " + std::to_string(excludingDesktopWindows) + " " +
                          std::to_string(onScreenWindowsOnly);
        auto answer = [this, completion = std::move(completion)]() {
            const auto content = value("content", "ok");
            if (auto error = errorFrom(content)) {
                return completion(nullptr, error);
            }
            if (content == "none") {
                return completion(nullptr, std::nullopt);
            }
            auto shareable = std::make_shared<platform::ShareableContent>();
            const int displays = std::stoi(value("displays", "1"));
            for (int i = 0; i < displays; ++i) {
                shareable->displays.push_back(std::make_shared<FakeDisplay>(i));
            }
            for (const auto& id : split(value("apps", ""), ',')) {
                shareable->applications.push_back(std::make_shared<FakeApplication>(percentDecoded(id)));
            }
            completion(shareable, std::nullopt);
        };
        if (value("content", "ok") == "hold") {
            holdThenRecord(state().heldContent, std::function<void()>(std::move(answer)), call);
            return;
        }
        event(call);
        answerOnAnotherThread(std::move(answer));
    }
    std::shared_ptr<platform::ContentFilter> makeContentFilter(
        const std::shared_ptr<platform::Display>& display,
        const std::vector<std::shared_ptr<platform::RunningApplication>>& excluded) override {
        std::string line = "makeContentFilter display" + std::to_string(dynamic_cast<FakeDisplay&>(*display).index) + " excluding";
        for (const auto& application : excluded) {
            line += " " + application->bundleIdentifier();
        }
        event(line);
        return std::make_shared<FakeFilter>();
    }
    std::shared_ptr<platform::StreamConfiguration> makeStreamConfiguration() override {
        event("makeStreamConfiguration");
        return std::make_shared<FakeConfiguration>(system_);
    }
    std::shared_ptr<platform::Stream> makeStream(const std::shared_ptr<platform::ContentFilter>&,
                                                 const std::shared_ptr<platform::StreamConfiguration>&,
                                                 platform::StreamDelegate* delegate) override {
        event(std::string("makeStream delegate=") + (delegate ? "1" : "0"));
        std::lock_guard lock(state().mutex);
        state().streamDelegate = delegate;
        return std::make_shared<FakeStream>(system_);
    }
};

}  // namespace

FakeSystem::FakeSystem(Script script, platform::ProcessServices& realProcess,
                       std::function<void(const std::string&)> eventSink)
    : script_(std::move(script)),
      eventSink_(std::move(eventSink)),
      state_(std::make_shared<State>()),
      process_(std::make_unique<FakeProcess>(*this, realProcess)),
      microphone_(std::make_unique<FakeMicrophone>(*this)),
      screenCapture_(std::make_unique<FakeScreenCapture>(*this)) {}

FakeSystem::~FakeSystem() = default;

platform::Platform FakeSystem::platform() { return {*process_, *microphone_, *screenCapture_}; }

void FakeSystem::event(const std::string& line) { eventSink_(line); }

std::string FakeSystem::value(const std::string& key, const std::string& fallback) const {
    const auto found = script_.find(key);
    return found == script_.end() ? fallback : found->second;
}

void FakeSystem::command(const std::string& line) {
    const auto words = split(line, ' ');
    if (words.empty()) {
        return;
    }
    auto& state = *state_;
    std::unique_lock lock(state.mutex);
    const std::string argument = line.size() > words[0].size() ? line.substr(words[0].size() + 1) : "";
    if (words[0] == "access" && state.heldAccess) {
        auto completion = std::exchange(state.heldAccess, nullptr);
        lock.unlock();
        completion(argument == "grant");
    } else if (words[0] == "content" && state.heldContent) {
        auto answer = std::exchange(state.heldContent, nullptr);
        lock.unlock();
        answer();
    } else if (words[0] == "start" && state.heldStart) {
        auto completion = std::exchange(state.heldStart, nullptr);
        lock.unlock();
        completion(errorFrom(argument));
    } else if (words[0] == "stop" && !state.heldStops.empty()) {
        auto completions = std::exchange(state.heldStops, {});
        lock.unlock();
        for (auto& completion : completions) {
            completion(errorFrom(argument));
        }
    } else if (words[0] == "deliver" && words.size() >= 2) {
        const int count = std::stoi(words[1]);
        const std::string kind = words.size() >= 3 ? words[2] : "s16";
        const std::int64_t type = words.size() >= 4 ? std::stoll(words[3]) : platform::kStreamOutputTypeAudio;
        for (int i = 0; i < count; ++i) {
            auto buffer = std::make_shared<FakeSampleBuffer>(kind, state.delivered++);
            if (state.microphoneDelegate && state.microphoneQueue) {
                state.microphoneQueue->async([delegate = state.microphoneDelegate, buffer] { delegate->captureOutput(*buffer); });
            } else if (state.streamOutput && state.streamQueue) {
                state.streamQueue->async([output = state.streamOutput, buffer, type] {
                    output->streamDidOutputSampleBuffer(*buffer, type);
                });
            }
        }
    } else if (words[0] == "end") {
        std::optional<CaptureError> error;
        if (argument != "none") {
            error = CaptureError{"FakePlatformErrorDomain", -2, argument};
        }
        auto handler = state.endedHandler;
        auto* delegate = state.streamDelegate;
        lock.unlock();
        if (handler) {
            handler(error);
        } else if (delegate) {
            delegate->streamDidStopWithError(error.value_or(CaptureError{"FakePlatformErrorDomain", -2, ""}));
        }
    }
}

}  // namespace quorvia::fake

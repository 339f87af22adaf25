// The PipeWire platform objects against a private server, below the bridges: what the bridges
// rely on but cannot show in their output.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/linux/pipewire_capture_stream.h"
#include "platform/linux/pipewire_connection.h"
#include "platform/linux/pipewire_screen_capture.h"
#include "platform/platform.h"
#include "private_audio_server.h"
#include "test_support/child_process.h"

namespace quorvia::platform::pipewire {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::PrivateAudioServer;

// Points this process's PipeWire clients at the private server. Done before the connection
// exists, so no PipeWire thread reads the environment meanwhile.
void useServer(const PrivateAudioServer& server) {
    for (const auto& entry : server.environment()) {
        const auto equals = entry.find('=');
        ::setenv(entry.substr(0, equals).c_str(), entry.substr(equals + 1).c_str(), 1);
    }
}

template <typename T>
class Answer {
public:
    void set(T value) {
        std::lock_guard lock(mutex_);
        values_.push_back(std::move(value));
        changed_.notify_all();
    }
    std::optional<T> wait(std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex_);
        if (!changed_.wait_for(lock, timeout, [this] { return !values_.empty(); })) {
            return std::nullopt;
        }
        return values_.front();
    }
    std::size_t count() {
        std::lock_guard lock(mutex_);
        return values_.size();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<T> values_;
};

using ContentAnswer = std::pair<std::shared_ptr<ShareableContent>, std::optional<CaptureError>>;

ContentAnswer shareableContent(ScreenCapture& screenCapture) {
    Answer<ContentAnswer> answer;
    screenCapture.getShareableContent(false, true, [&answer](auto content, auto error) {
        answer.set({std::move(content), std::move(error)});
    });
    auto result = answer.wait(10s);
    EXPECT_TRUE(result) << "no answer";
    return result ? *result : ContentAnswer{};
}

std::vector<std::string> identifiers(const ShareableContent& content) {
    std::vector<std::string> names;
    for (const auto& application : content.applications) {
        names.push_back(application->bundleIdentifier());
    }
    return names;
}

TEST(PipeWirePlatform, ShareableContentListsSinksDefaultFirstAndNamedClients) {
    QUORVIA_REQUIRE_AUDIO_SERVER(server);
    useServer(*server);
    // A silent client that names itself, and the default sink moved to the second sink.
    auto host = testing::connectSilently(*server, "com.quorvia.desktop");
    ASSERT_TRUE(testing::waitForClient(*server, "com.quorvia.desktop", 5s));
    auto setDefault = ChildProcess::start("pactl", {"set-default-sink", server->value("QUORVIA_AUDIO_MIC_SINK")},
                                          server->environment());
    ASSERT_EQ(setDefault->wait(5s).exitStatus, 0);

    PipeWireScreenCapture screenCapture(Connection::shared());
    const auto [content, error] = shareableContent(screenCapture);
    ASSERT_FALSE(error) << error->localizedDescription;
    ASSERT_TRUE(content);
    ASSERT_EQ(content->displays.size(), 2u);
    const auto names = identifiers(*content);
    EXPECT_NE(std::find(names.begin(), names.end(), "com.quorvia.desktop"), names.end());

    // Which display is which shows in what a filter on it would be for; the order is what the
    // bridge relies on, so compare with the registry directly.
    Connection::Lock lock(Connection::shared());
    const auto& graph = Connection::shared().graph();
    EXPECT_EQ(graph.defaultSinkName, server->value("QUORVIA_AUDIO_MIC_SINK"));
    EXPECT_EQ(graph.defaultSourceName, server->value("QUORVIA_AUDIO_MIC_SOURCE"));
    const auto sinks = sinksDefaultFirst(graph);
    ASSERT_EQ(sinks.size(), 2u);
    EXPECT_EQ(property(graph.nodes.at(sinks[0]).props, "node.name"), server->value("QUORVIA_AUDIO_MIC_SINK"));
}

TEST(PipeWirePlatform, WithoutAServerTheContentQueryAnswersOnceWithPipeWiresError) {
    testing::ScratchDir nowhere;
    ::setenv("XDG_RUNTIME_DIR", nowhere.path("").c_str(), 1);
    ::unsetenv("PIPEWIRE_REMOTE");
    ::unsetenv("PIPEWIRE_RUNTIME_DIR");
    PipeWireScreenCapture screenCapture(Connection::shared());
    Answer<ContentAnswer> answer;
    screenCapture.getShareableContent(false, true, [&answer](auto content, auto error) {
        answer.set({std::move(content), std::move(error)});
    });
    const auto result = answer.wait(10s);
    ASSERT_TRUE(result);
    EXPECT_FALSE(result->first);
    ASSERT_TRUE(result->second);
    EXPECT_EQ(result->second->domain, "PipeWire");
    EXPECT_LT(result->second->code, 0);
    EXPECT_EQ(result->second->localizedDescription.rfind("PipeWire: ", 0), 0u);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(answer.count(), 1u);
}

// Records what a stream hands to the bridge, and on which thread.
class Recorder final : public StreamOutput, public StreamDelegate {
public:
    void streamDidOutputSampleBuffer(const SampleBuffer& sampleBuffer, std::int64_t outputType) override {
        std::lock_guard lock(mutex_);
        threads.insert(std::this_thread::get_id());
        types.insert(outputType);
        description = sampleBuffer.audioStreamDescription();
        frames += sampleBuffer.numSamples();
        ++buffers;
    }
    void streamDidStopWithError(const CaptureError& error) override {
        std::lock_guard lock(mutex_);
        stopErrors.push_back(error);
    }

    std::mutex mutex_;
    std::set<std::thread::id> threads;
    std::set<std::int64_t> types;
    std::optional<StreamDescription> description;
    std::int64_t frames = 0;
    std::size_t buffers = 0;
    std::vector<CaptureError> stopErrors;
};

struct RunningStream {
    std::shared_ptr<Stream> stream;
    std::shared_ptr<SerialQueue> queue;
    std::thread::id queueThread;
};

RunningStream startSystemAudio(ScreenCapture& screenCapture, Recorder& recorder) {
    const auto [content, error] = shareableContent(screenCapture);
    EXPECT_TRUE(content && !content->displays.empty());
    if (!content || content->displays.empty()) {
        return {};
    }
    auto configuration = screenCapture.makeStreamConfiguration();
    configuration->setCapturesAudio(true);
    configuration->setSampleRate(24000);
    configuration->setChannelCount(1);
    RunningStream running;
    running.queue = systemProcessServices().makeSerialQueue("test.output");
    Answer<std::thread::id> queueThread;
    running.queue->async([&queueThread] { queueThread.set(std::this_thread::get_id()); });
    running.queueThread = *queueThread.wait(5s);
    running.stream =
        screenCapture.makeStream(screenCapture.makeContentFilter(content->displays.front(), {}), configuration, &recorder);
    EXPECT_FALSE(running.stream->addStreamOutput(recorder, kStreamOutputTypeAudio, running.queue));
    Answer<std::optional<CaptureError>> started;
    running.stream->startCapture([&started](auto startError) { started.set(std::move(startError)); });
    const auto answer = started.wait(10s);
    EXPECT_TRUE(answer && !*answer);
    return running;
}

// Stops the stream and waits for its answer; false if none came.
bool stopAndWait(Stream& stream) {
    Answer<std::optional<CaptureError>> stopped;
    stream.stopCapture([&stopped](auto error) { stopped.set(std::move(error)); });
    return stopped.wait(5s).has_value();
}

TEST(PipeWirePlatform, SystemAudioArrivesOnTheBridgesQueueAsFloatInRealTime) {
    QUORVIA_REQUIRE_AUDIO_SERVER(server);
    useServer(*server);
    PipeWireScreenCapture screenCapture(Connection::shared());
    Recorder recorder;
    auto running = startSystemAudio(screenCapture, recorder);
    ASSERT_TRUE(running.stream);
    std::this_thread::sleep_for(1s);
    ASSERT_TRUE(stopAndWait(*running.stream));

    std::lock_guard lock(recorder.mutex_);
    EXPECT_EQ(recorder.threads, std::set<std::thread::id>{running.queueThread});
    EXPECT_EQ(recorder.types, std::set<std::int64_t>{kStreamOutputTypeAudio});
    ASSERT_TRUE(recorder.description);
    EXPECT_EQ(recorder.description->formatFlags & kFormatFlagIsFloat, kFormatFlagIsFloat);
    EXPECT_EQ(recorder.description->bitsPerChannel, 32u);
    EXPECT_GT(recorder.frames, 18000);
    EXPECT_LT(recorder.frames, 36000);
}

// A host that stops reading blocks the bridge's queue; what waits for it stays bounded.
TEST(PipeWirePlatform, AStalledQueueHoldsABoundedNumberOfBuffers) {
    QUORVIA_REQUIRE_AUDIO_SERVER(server);
    useServer(*server);
    PipeWireScreenCapture screenCapture(Connection::shared());
    Recorder recorder;
    auto running = startSystemAudio(screenCapture, recorder);
    ASSERT_TRUE(running.stream);

    Answer<bool> release;
    running.queue->async([&release] { release.wait(10s); });
    std::this_thread::sleep_for(4s);  // about 370 buffers of 10.7 ms
    release.set(true);
    std::this_thread::sleep_for(300ms);
    ASSERT_TRUE(stopAndWait(*running.stream));
    Answer<bool> drained;
    running.queue->async([&drained] { drained.set(true); });
    ASSERT_TRUE(drained.wait(5s));

    std::lock_guard lock(recorder.mutex_);
    EXPECT_GE(recorder.buffers, static_cast<std::size_t>(InFlightBuffers::kLimit));
    EXPECT_LT(recorder.buffers, static_cast<std::size_t>(InFlightBuffers::kLimit + 80));
}

TEST(PipeWirePlatform, OnlyAStopTheBridgeDidNotAskForIsReported) {
    QUORVIA_REQUIRE_AUDIO_SERVER(server);
    useServer(*server);
    PipeWireScreenCapture screenCapture(Connection::shared());

    Recorder stoppedByUs;
    auto first = startSystemAudio(screenCapture, stoppedByUs);
    ASSERT_TRUE(first.stream);
    ASSERT_TRUE(stopAndWait(*first.stream));

    Recorder lostServer;
    auto second = startSystemAudio(screenCapture, lostServer);
    ASSERT_TRUE(second.stream);
    server->killServer();
    std::this_thread::sleep_for(500ms);

    {
        std::lock_guard lock(stoppedByUs.mutex_);
        EXPECT_TRUE(stoppedByUs.stopErrors.empty());
    }
    std::lock_guard lock(lostServer.mutex_);
    ASSERT_EQ(lostServer.stopErrors.size(), 1u);
    EXPECT_EQ(lostServer.stopErrors[0].domain, "PipeWire");
    EXPECT_NE(lostServer.stopErrors[0].localizedDescription.find("lost the audio server"), std::string::npos);
}

}  // namespace
}  // namespace quorvia::platform::pipewire

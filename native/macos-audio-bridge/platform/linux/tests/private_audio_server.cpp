#include "private_audio_server.h"

#include <signal.h>
#include <stdlib.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace quorvia::testing {

using namespace std::chrono_literals;

bool runningInCi() {
    const char* ci = std::getenv("CI");
    return ci != nullptr && std::strcmp(ci, "true") == 0;
}

std::unique_ptr<PrivateAudioServer> PrivateAudioServer::start(std::string& whyNot) {
    std::unique_ptr<PrivateAudioServer> server(new PrivateAudioServer());
    try {
        server->harness_ = ChildProcess::start("bash", {QUORVIA_AUDIO_SERVER_SCRIPT, "serve"});
    } catch (const std::exception& error) {
        whyNot = std::string("cannot run the server script: ") + error.what();
        return nullptr;
    }
    for (std::size_t index = 0;; ++index) {
        const auto line = server->harness_->waitForStdoutLine(index, 20s);
        if (!line) {
            const auto result = server->harness_->wait(10s);
            whyNot = result.exitStatus == 77 ? "PipeWire is not installed: " : "the server did not start: ";
            whyNot += result.err.empty() ? "exit status " + std::to_string(result.exitStatus) : result.err;
            server->harness_.reset();
            return nullptr;
        }
        if (*line == "ready") {
            break;
        }
        const auto equals = line->find('=');
        if (equals != std::string::npos) {
            server->values_[line->substr(0, equals)] = line->substr(equals + 1);
            if (line->rfind("QUORVIA_AUDIO_", 0) != 0) {
                server->environment_.push_back(*line);
            }
        }
    }
    return server;
}

PrivateAudioServer::~PrivateAudioServer() {
    if (harness_) {
        harness_->sendSignal(SIGTERM);
        harness_->wait(15s);
    }
}

std::string PrivateAudioServer::value(const std::string& key) const {
    const auto found = values_.find(key);
    return found == values_.end() ? std::string() : found->second;
}

void PrivateAudioServer::killServer() {
    const auto pid = std::stoi(value("QUORVIA_AUDIO_PIPEWIRE_PID"));
    ::kill(pid, SIGKILL);
}

void writeToneWav(const std::string& path, double hertz, double amplitude, double seconds, std::uint32_t rate) {
    const auto frames = static_cast<std::uint32_t>(seconds * rate);
    std::vector<std::int16_t> samples(frames);
    for (std::uint32_t i = 0; i < frames; ++i) {
        samples[i] = static_cast<std::int16_t>(std::lround(amplitude * 32767.0 * std::sin(2.0 * M_PI * hertz * i / rate)));
    }
    const auto put32 = [](std::ofstream& out, std::uint32_t value) {
        const char bytes[4] = {static_cast<char>(value), static_cast<char>(value >> 8), static_cast<char>(value >> 16),
                               static_cast<char>(value >> 24)};
        out.write(bytes, 4);
    };
    const auto put16 = [](std::ofstream& out, std::uint16_t value) {
        const char bytes[2] = {static_cast<char>(value), static_cast<char>(value >> 8)};
        out.write(bytes, 2);
    };
    std::ofstream out(path, std::ios::binary);
    const std::uint32_t dataBytes = frames * 2;
    out.write("RIFF", 4);
    put32(out, 36 + dataBytes);
    out.write("WAVEfmt ", 8);
    put32(out, 16);
    put16(out, 1);  // PCM
    put16(out, 1);  // mono
    put32(out, rate);
    put32(out, rate * 2);
    put16(out, 2);
    put16(out, 16);
    out.write("data", 4);
    put32(out, dataBytes);
    for (const auto sample : samples) {
        put16(out, static_cast<std::uint16_t>(sample));
    }
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

std::unique_ptr<ChildProcess> playFile(const PrivateAudioServer& server, const std::string& path,
                                       const std::string& sink, const std::string& applicationId) {
    auto environment = server.environment();
    environment.push_back("PULSE_PROP=application.id=" + applicationId + " application.name=" + applicationId);
    return ChildProcess::start("paplay", {"-d", sink, path}, environment);
}

namespace {

bool waitForListed(const PrivateAudioServer& server, const std::string& what, const std::string& applicationId,
                   std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        auto pactl = ChildProcess::start("pactl", {"list", what}, server.environment());
        const auto listed = pactl->wait(5s);
        if (listed.out.find("application.id = \"" + applicationId + "\"") != std::string::npos) {
            return true;
        }
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

}  // namespace

std::unique_ptr<ChildProcess> connectSilently(const PrivateAudioServer& server, const std::string& applicationId) {
    auto environment = server.environment();
    environment.push_back("PULSE_PROP=application.id=" + applicationId);
    return ChildProcess::start("pactl", {"subscribe"}, environment);
}

bool waitForClient(const PrivateAudioServer& server, const std::string& applicationId,
                   std::chrono::milliseconds timeout) {
    return waitForListed(server, "clients", applicationId, timeout);
}

bool waitForPlayback(const PrivateAudioServer& server, const std::string& applicationId,
                     std::chrono::milliseconds timeout) {
    return waitForListed(server, "sink-inputs", applicationId, timeout);
}

ScratchDir::ScratchDir() {
    char pattern[] = "/tmp/quorvia-e2e.XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    dir_ = pattern;
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

}  // namespace quorvia::testing

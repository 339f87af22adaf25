#pragma once

// A scripted stand-in for the operating system. It records every platform call as an event
// line and answers as its script says; answers marked "hold" wait for a command, so tests can
// stage races. In a child process (the fake build of the program) events go to fd 3 and
// commands come from fd 4.

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace quorvia::fake {

// "key=value;key=value". Values:
//   auth=<int>  access=grant|deny|hold  device=present|none  input=ok|error:<text>
//   canAddInput=1|0  canAddOutput=1|0  deliver=<n> (buffers delivered once capture runs)
//   content=ok|hold|error:<text>|none  displays=<n>  apps=<id>,<id>  (ids %XX-decoded)
//   excludes=1|0  addOutput=ok|error:<text>  start=ok|hold|error:<text>  stop=ok|hold|error:<text>
//   stopRunning=ok|end:<text> (a platform that reports an end while we stop it)
//   endDuringStart=<text>|none (the platform ends the capture while it starts)
using Script = std::map<std::string, std::string>;
Script parseScript(const std::string& text);

class FakeSystem {
public:
    FakeSystem(Script script, platform::ProcessServices& realProcess, std::function<void(const std::string&)> eventSink);
    ~FakeSystem();

    platform::Platform platform();

    // Commands: "access grant|deny", "content", "start ok|error:<text>", "stop ok|error:<text>",
    // "deliver <n> [s16|f32|empty] [type]", "end <text>|none".
    void command(const std::string& line);

    void event(const std::string& line);
    const Script& script() const { return script_; }
    std::string value(const std::string& key, const std::string& fallback) const;

    struct State;
    std::shared_ptr<State> state() { return state_; }

private:
    Script script_;
    std::function<void(const std::string&)> eventSink_;
    std::shared_ptr<State> state_;
    std::unique_ptr<platform::ProcessServices> process_;
    std::unique_ptr<platform::MicrophoneCapture> microphone_;
    std::unique_ptr<platform::ScreenCapture> screenCapture_;
};

}  // namespace quorvia::fake

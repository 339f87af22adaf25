// Process entry: reads the mode word and answers the presence probe, reports a bad mode, or
// hands the process to the capture bridge that the mode names.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "capture/candidate_capture_bridge.h"
#include "capture/interviewer_capture_bridge.h"
#include "platform/platform.h"
#include "protocol/emit.h"

namespace quorvia {
namespace {

enum class CaptureMode { candidate, interviewer, doctor };

// Exact, case-sensitive, whole-word matches, in this order.
std::optional<CaptureMode> captureModeFromWord(std::string_view word) {
    if (word == "candidate") {
        return CaptureMode::candidate;
    }
    if (word == "interviewer") {
        return CaptureMode::interviewer;
    }
    if (word == "doctor") {
        return CaptureMode::doctor;
    }
    return std::nullopt;
}

constexpr int kExitUsage = 64;  // EX_USAGE

}  // namespace
}  // namespace quorvia

int main(int argc, char** argv) {
    using namespace quorvia;

    const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + (argc > 0 ? argc : 0));
    const auto mode = args.empty() ? std::nullopt : captureModeFromWord(args.front());

    // Every way out ends with _exit: capture threads may still be running, and no static
    // destructor may run under them.
    if (!mode) {
        emit(ErrorMessage{.message = "missing_or_invalid_mode"});
        exitAfterOutput(kExitUsage);
    }
    switch (*mode) {
        case CaptureMode::doctor:
            emit(ModeMessage{.message = "swift_package_present", .dualChannel = false, .native = true});
            break;
        case CaptureMode::candidate:
            runCandidateMode(platform::systemPlatform());
            break;
        case CaptureMode::interviewer:
            runInterviewerMode(platform::systemPlatform());
            break;
    }
    exitAfterOutput(0);
}

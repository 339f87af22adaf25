#pragma once

// Every line the program writes, as a record and as its exact text. Shared by the encoding test
// and the child process that emits them.

#include <string_view>

#include "protocol/messages.h"

namespace quorvia::testing {

// A failure text from the platform and a base64 chunk holding '+', '/' and padding.
inline constexpr std::string_view kPlatformDescription = "The operation couldn\xE2\x80\x99t be completed. (\"com.apple\" -3801)";
inline constexpr std::string_view kPlatformDescriptionJson =
    R"j("The operation couldn)j" "\xE2\x80\x99" R"j(t be completed. (\"com.apple\" -3801)")j";
inline constexpr std::string_view kChunkBase64 = "AAD/f+v/AIA=";

// Calls visit(record, line) for each of them.
template <typename Visit>
void forEachProtocolLine(Visit visit) {
    ModeMessage probe;
    probe.message = "swift_package_present";
    probe.dualChannel = false;
    probe.native = true;
    visit(probe, R"({"type":"mode","message":"swift_package_present","dualChannel":false,"native":true})");

    ErrorMessage usage;
    usage.message = "missing_or_invalid_mode";
    visit(usage, R"({"type":"error","message":"missing_or_invalid_mode"})");

    ModeMessage candidateStarted;
    candidateStarted.source = "candidate";
    candidateStarted.message = "candidate_capture_started";
    candidateStarted.dualChannel = false;
    candidateStarted.native = true;
    visit(candidateStarted,
          R"({"type":"mode","source":"candidate","message":"candidate_capture_started","dualChannel":false,"native":true})");

    ModeMessage interviewerStarted;
    interviewerStarted.source = "interviewer";
    interviewerStarted.message = "interviewer_capture_started";
    interviewerStarted.dualChannel = true;
    interviewerStarted.native = true;
    visit(interviewerStarted,
          R"({"type":"mode","source":"interviewer","message":"interviewer_capture_started","dualChannel":true,"native":true})");

    ErrorMessage candidateFailed;
    candidateFailed.source = "candidate";
    candidateFailed.message = "microphone_permission_denied";
    candidateFailed.native = true;
    visit(candidateFailed,
          R"({"type":"error","source":"candidate","message":"microphone_permission_denied","native":true})");

    ErrorMessage interviewerFailed;
    interviewerFailed.source = "interviewer";
    interviewerFailed.message = std::string(kPlatformDescription);
    interviewerFailed.native = true;
    visit(interviewerFailed, std::string(R"({"type":"error","source":"interviewer","message":)") +
                                 std::string(kPlatformDescriptionJson) + R"(,"native":true})");

    PcmMessage candidateChunk;
    candidateChunk.source = "candidate";
    candidateChunk.pcmBase64 = std::string(kChunkBase64);
    visit(candidateChunk, R"({"type":"pcm","source":"candidate","pcmBase64":"AAD/f+v/AIA="})");

    PcmMessage interviewerChunk;
    interviewerChunk.source = "interviewer";
    interviewerChunk.pcmBase64 = std::string(kChunkBase64);
    visit(interviewerChunk, R"({"type":"pcm","source":"interviewer","pcmBase64":"AAD/f+v/AIA="})");
}

}  // namespace quorvia::testing

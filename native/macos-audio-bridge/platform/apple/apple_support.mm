#include "platform/apple/apple_support.h"

namespace quorvia::platform::apple {

std::string utf8String(NSString* _Nullable string) {
    // A message to nil answers NULL, as does a string with no UTF-8 form.
    const char* text = string.UTF8String;
    return text != nullptr ? std::string(text) : std::string();
}

CaptureError captureErrorFrom(NSError* error) {
    return CaptureError{.domain = utf8String(error.domain),
                        .code = static_cast<std::int64_t>(error.code),
                        .localizedDescription = utf8String(error.localizedDescription)};
}

std::optional<CaptureError> optionalCaptureError(NSError* _Nullable error) {
    if (error == nil) {
        return std::nullopt;
    }
    NSError* present = error;
    return captureErrorFrom(present);
}

CaptureError unexplainedFailure(const char* description) {
    return CaptureError{.domain = "QuorviaMacAudioBridge", .code = 0, .localizedDescription = description};
}

}  // namespace quorvia::platform::apple

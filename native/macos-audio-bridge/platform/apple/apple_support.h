#pragma once

// Small pieces every Apple adapter shares: plain C++ values from Foundation objects, and the
// way back from a seam object to the Apple object it wraps.

#import <Foundation/Foundation.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "platform/capture_error.h"

NS_ASSUME_NONNULL_BEGIN

namespace quorvia::platform::apple {

// The UTF-8 text of `string`; empty for nil.
std::string utf8String(NSString* _Nullable string);

// The error as the host sees it: domain, code and localized description, in UTF-8.
CaptureError captureErrorFrom(NSError* error);

// Nothing for nil, the error otherwise (a completion's "no error" is nil).
std::optional<CaptureError> optionalCaptureError(NSError* _Nullable error);

// For a call that failed without an NSError: the frameworks promise one, so this is a broken
// contract rather than a case we expect, but the host still needs a line that says something.
CaptureError unexplainedFailure(const char* description);

// Objects handed back through the seam were made by this platform. Anything else is a
// programming error that must not reach the frameworks as the wrong object.
template <typename Concrete, typename Interface>
Concrete& ownObject(Interface* _Nullable object) {
    auto* concrete = dynamic_cast<Concrete*>(object);
    if (concrete == nullptr) {
        std::abort();
    }
    return *concrete;
}

}  // namespace quorvia::platform::apple

NS_ASSUME_NONNULL_END

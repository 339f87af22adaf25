#pragma once

#include <string_view>

namespace quorvia {

// Whole-text equality of two UTF-8 texts as Unicode: canonically equivalent texts are equal
// (precomposed and decomposed accents, KELVIN SIGN and "K"); no case folding. A byte sequence
// that is not valid UTF-8 reads as U+FFFD.
bool unicodeCanonicallyEqual(std::string_view left, std::string_view right);

}  // namespace quorvia

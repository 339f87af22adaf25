#pragma once

#include <cstddef>
#include <cstdint>

namespace quorvia::unicode_data {

struct Decomposition {
    std::uint32_t codePoint;
    std::uint16_t start;   // into kDecompositionCodePoints
    std::uint16_t length;
};

struct CombiningClassRange {
    std::uint32_t first;
    std::uint32_t last;
    std::uint8_t combiningClass;
};

// Sorted by code point.
extern const std::uint32_t kDecompositionCodePoints[];
extern const Decomposition kDecompositions[];
extern const std::size_t kDecompositionCount;
extern const CombiningClassRange kCombiningClasses[];
extern const std::size_t kCombiningClassCount;

}  // namespace quorvia::unicode_data

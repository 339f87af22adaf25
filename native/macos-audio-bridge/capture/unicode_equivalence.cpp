#include "capture/unicode_equivalence.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "capture/unicode_decomposition_data.h"

namespace quorvia {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one code point at `pos`, advancing it; invalid sequences give U+FFFD.
char32_t decodeUtf8(std::string_view text, std::size_t& pos) {
    const auto lead = static_cast<unsigned char>(text[pos++]);
    if (lead < 0x80) {
        return lead;
    }
    int extra = 0;
    char32_t value = 0;
    char32_t minimum = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        extra = 1, value = lead & 0x1Fu, minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        extra = 2, value = lead & 0x0Fu, minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        extra = 3, value = lead & 0x07u, minimum = 0x10000;
    } else {
        return kReplacement;
    }
    for (int i = 0; i < extra; ++i) {
        if (pos >= text.size() || (static_cast<unsigned char>(text[pos]) & 0xC0u) != 0x80u) {
            return kReplacement;
        }
        value = (value << 6) | (static_cast<unsigned char>(text[pos++]) & 0x3Fu);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        return kReplacement;
    }
    return value;
}

std::uint8_t combiningClass(char32_t codePoint) {
    const auto* begin = unicode_data::kCombiningClasses;
    const auto* end = begin + unicode_data::kCombiningClassCount;
    const auto* range = std::upper_bound(begin, end, codePoint, [](char32_t value, const auto& entry) {
        return value < entry.first;
    });
    if (range == begin || codePoint > (range - 1)->last) {
        return 0;
    }
    return (range - 1)->combiningClass;
}

void appendDecomposition(char32_t codePoint, std::vector<char32_t>& out) {
    constexpr char32_t kHangulFirst = 0xAC00, kHangulCount = 11172;
    if (codePoint >= kHangulFirst && codePoint < kHangulFirst + kHangulCount) {
        const char32_t index = codePoint - kHangulFirst;
        out.push_back(0x1100 + index / (21 * 28));
        out.push_back(0x1161 + (index % (21 * 28)) / 28);
        if (index % 28 != 0) {
            out.push_back(0x11A7 + index % 28);
        }
        return;
    }
    const auto* begin = unicode_data::kDecompositions;
    const auto* end = begin + unicode_data::kDecompositionCount;
    const auto* entry = std::lower_bound(begin, end, codePoint, [](const auto& candidate, char32_t value) {
        return candidate.codePoint < value;
    });
    if (entry == end || entry->codePoint != codePoint) {
        out.push_back(codePoint);
        return;
    }
    const auto* first = unicode_data::kDecompositionCodePoints + entry->start;
    out.insert(out.end(), first, first + entry->length);
}

std::vector<char32_t> canonicalDecomposition(std::string_view text) {
    std::vector<char32_t> out;
    out.reserve(text.size());
    for (std::size_t pos = 0; pos < text.size();) {
        appendDecomposition(decodeUtf8(text, pos), out);
    }
    // Canonical ordering: marks of a run sort stably by combining class; starters stay put.
    for (std::size_t start = 0; start < out.size();) {
        if (combiningClass(out[start]) == 0) {
            ++start;
            continue;
        }
        std::size_t end = start;
        while (end < out.size() && combiningClass(out[end]) != 0) {
            ++end;
        }
        std::stable_sort(out.begin() + static_cast<std::ptrdiff_t>(start), out.begin() + static_cast<std::ptrdiff_t>(end),
                         [](char32_t a, char32_t b) { return combiningClass(a) < combiningClass(b); });
        start = end;
    }
    return out;
}

bool isAscii(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

}  // namespace

bool unicodeCanonicallyEqual(std::string_view left, std::string_view right) {
    if (isAscii(left) && isAscii(right)) {
        return left == right;
    }
    return canonicalDecomposition(left) == canonicalDecomposition(right);
}

}  // namespace quorvia

#include "capture/unicode_equivalence.h"

#include <gtest/gtest.h>

namespace quorvia {
namespace {

TEST(UnicodeCanonicallyEqual, EqualExactlyWhenCanonicallyEquivalent) {
    struct Case {
        const char* name;
        std::string left;
        std::string right;
        bool equal;
    };
    const Case cases[] = {
        {"SameAscii", "com.quorvia.desktop", "com.quorvia.desktop", true},
        {"CaseIsNotFolded", "com.quorvia.desktop", "com.Quorvia.desktop", false},
        {"PrefixIsNotEqual", "com.quorvia", "com.quorvia.desktop", false},
        {"PrecomposedAndDecomposed", "caf\xC3\xA9", "cafe\xCC\x81", true},
        {"KelvinSignAndK", "\xE2\x84\xAA", "K", true},
        {"OhmSignAndOmega", "\xE2\x84\xA6", "\xCE\xA9", true},
        {"MarksInEitherOrder", "a\xCC\x81\xCC\xA3", "a\xCC\xA3\xCC\x81", true},  // acute (230) and dot below (220)
        {"SameClassMarksKeepTheirOrder", "a\xCC\x81\xCC\x80", "a\xCC\x80\xCC\x81", false},
        {"HangulSyllableAndJamo", "\xEA\xB0\x80", "\xE1\x84\x80\xE1\x85\xA1", true},
        {"CompatibilityIsNotCanonical", "\xEF\xAC\x81", "fi", false},  // the "fi" ligature
        {"InvalidBytesReadAsReplacement", "a\xFF", "a\xEF\xBF\xBD", true},
        {"Empty", "", "", true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(unicodeCanonicallyEqual(c.left, c.right), c.equal) << c.name;
        EXPECT_EQ(unicodeCanonicallyEqual(c.right, c.left), c.equal) << c.name << " (swapped)";
    }
}

}  // namespace
}  // namespace quorvia

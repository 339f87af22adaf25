#include "protocol/json_text.h"

#include <array>
#include <cstddef>
#include <utility>

namespace quorvia::json {

namespace {

// Bytes that may be copied as they are: printable ASCII except the two that JSON escapes.
constexpr std::array<bool, 256> kPlain = [] {
    std::array<bool, 256> plain{};
    for (int c = 0x20; c < 0x80; ++c) plain[static_cast<std::size_t>(c)] = c != '"' && c != '\\';
    return plain;
}();

constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";

// The length of the UTF-8 sequence that starts at p[0] (a byte of 0x80 or more) and whether it is
// well formed. An ill-formed one is as long as its maximal subpart (Unicode ch. 3, as WHATWG
// decodes): a lead byte and the continuation bytes that were still possible, or 1 for a byte that
// cannot start a sequence. The narrower second-byte ranges rule out overlongs (E0, F0),
// surrogates (ED) and code points above U+10FFFF (F4).
std::size_t sequenceLength(const unsigned char* p, std::size_t available, bool& wellFormed) {
    const unsigned char lead = p[0];
    std::size_t continuations = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        continuations = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        continuations = 2;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        continuations = 3;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        wellFormed = false;
        return 1;
    }
    for (std::size_t i = 1; i <= continuations; ++i) {
        if (i >= available || p[i] < low || p[i] > high) {
            wellFormed = false;
            return i;
        }
        low = 0x80;
        high = 0xBF;
    }
    wellFormed = true;
    return continuations + 1;
}

void appendEscapedAscii(std::string& out, unsigned char c) {
    switch (c) {
        case '"': out += "\\\""; return;
        case '\\': out += "\\\\"; return;
        case '\n': out += "\\n"; return;
        case '\r': out += "\\r"; return;
        case '\t': out += "\\t"; return;
        case '\b': out += "\\b"; return;
        case '\f': out += "\\f"; return;
        default: {
            constexpr char kHex[] = "0123456789abcdef";
            const char escape[] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
            out.append(escape, sizeof escape);
        }
    }
}

}  // namespace

void appendString(std::string& out, std::string_view text) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t size = text.size();
    out += '"';
    std::size_t i = 0;
    while (i < size) {
        // The common case, a base64 payload, is one plain run.
        std::size_t runEnd = i;
        while (runEnd < size && kPlain[bytes[runEnd]]) ++runEnd;
        out.append(text.data() + i, runEnd - i);
        i = runEnd;
        if (i == size) break;

        const unsigned char c = bytes[i];
        if (c < 0x80) {
            appendEscapedAscii(out, c);
            ++i;
            continue;
        }
        bool wellFormed = false;
        const std::size_t length = sequenceLength(bytes + i, size - i, wellFormed);
        if (!wellFormed) {
            out += kReplacementCharacter;
        } else if (length == 2 && c == 0xC2 && bytes[i + 1] == 0x85) {
            // U+0085, U+2028 and U+2029 are legal in JSON, but readers that split text on Unicode
            // line boundaries (Python's str.splitlines, older JavaScript parsers) would cut the
            // record there; escaped, a line feed stays the only line break of a line.
            out += "\\u0085";
        } else if (length == 3 && c == 0xE2 && bytes[i + 1] == 0x80 && (bytes[i + 2] == 0xA8 || bytes[i + 2] == 0xA9)) {
            out += bytes[i + 2] == 0xA8 ? "\\u2028" : "\\u2029";
        } else {
            out.append(text.data() + i, length);
        }
        i += length;
    }
    out += '"';
}

ObjectWriter::ObjectWriter(std::size_t expectedSize) {
    text_.reserve(expectedSize);
    text_ += '{';
}

void ObjectWriter::key(std::string_view name) {
    if (text_.size() > 1) text_ += ',';
    appendString(text_, name);
    text_ += ':';
}

void ObjectWriter::stringMember(std::string_view name, std::string_view value) {
    key(name);
    appendString(text_, value);
}

void ObjectWriter::boolMember(std::string_view name, bool value) {
    key(name);
    text_ += value ? "true" : "false";
}

std::string ObjectWriter::finish() && {
    text_ += '}';
    return std::move(text_);
}

}  // namespace quorvia::json

#include "protocol/messages.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "protocol/json_text.h"
#include "protocol_lines.h"

namespace quorvia {
namespace {

using Json = nlohmann::ordered_json;  // keeps member order, so the order can be checked

std::vector<std::string> keysOf(const Json& object) {
    std::vector<std::string> keys;
    for (const auto& member : object.items()) keys.push_back(member.key());
    return keys;
}

TEST(MessagesTest, EveryProtocolLineIsExact) {
    testing::forEachProtocolLine([](const auto& record, const std::string& line) {
        EXPECT_EQ(encode(record), line);
    });
}

TEST(MessagesTest, AbsentOptionalsLeaveNoTrace) {
    EXPECT_EQ(encode(ModeMessage{}), R"({"type":"mode"})");
    EXPECT_EQ(encode(ErrorMessage{}), R"({"type":"error","message":""})");
    EXPECT_EQ(encode(PcmMessage{}), R"({"type":"pcm","source":"","pcmBase64":""})");
}

// Texts that a platform error description could hold, and what a JSON reader must get back.
struct TextCase {
    const char* name;
    std::string text;
    std::string readBack;
};

std::vector<TextCase> adversarialTexts() {
    const std::string fffd = "\xEF\xBF\xBD";
    return {
        {"quotation mark", "say \"no\"", "say \"no\""},
        {"backslash", "C:\\Users\\x", "C:\\Users\\x"},
        {"tab and line feed", "a\tb\nc\r\n", "a\tb\nc\r\n"},
        {"other controls", std::string("\x01|\x1F|\x7F|\b\f|") + std::string(1, '\0') + "|", std::string("\x01|\x1F|\x7F|\b\f|") + std::string(1, '\0') + "|"},
        {"slash", "a/b", "a/b"},
        {"U+2019", "couldn\xE2\x80\x99t", "couldn\xE2\x80\x99t"},
        {"edges of the code space", "\xC2\x80 \xED\x9F\xBF \xEE\x80\x80 \xEF\xBF\xBF \xF4\x8F\xBF\xBF",
         "\xC2\x80 \xED\x9F\xBF \xEE\x80\x80 \xEF\xBF\xBF \xF4\x8F\xBF\xBF"},
        {"emoji", "mic \xF0\x9F\x8E\xA4!", "mic \xF0\x9F\x8E\xA4!"},
        {"Unicode line breaks", "a\xC2\x85" "b\xE2\x80\xA8" "c\xE2\x80\xA9", "a\xC2\x85" "b\xE2\x80\xA8" "c\xE2\x80\xA9"},
        {"lone continuation byte", "a\x80" "b", "a" + fffd + "b"},
        {"overlong two-byte", "\xC0\xAF", fffd + fffd},
        {"overlong three-byte", "\xE0\x80\xAF", fffd + fffd + fffd},
        {"three-byte cut at the end", "ab\xE2\x82", "ab" + fffd},
        {"three-byte cut by ASCII", "\xE2\x82x", fffd + "x"},
        {"four-byte cut by a new lead", "\xF0\x9F\x98\xE2\x80\x99", fffd + "\xE2\x80\x99"},
        {"surrogate", "\xED\xA0\x80", fffd + fffd + fffd},
        {"above U+10FFFF", "\xF4\x90\x80\x80", fffd + fffd + fffd + fffd},
        {"byte that never occurs", "\xFF\xFE", fffd + fffd},
        {"second protocol line", "\"}\n{\"type\":\"mode\",\"message\":\"x\"}", "\"}\n{\"type\":\"mode\",\"message\":\"x\"}"},
    };
}

void expectOneSafeLine(const std::string& encoded) {
    for (unsigned char c : encoded) ASSERT_GE(c, 0x20) << "raw control byte in " << encoded;
    EXPECT_EQ(encoded.find("\xE2\x80\xA8"), std::string::npos);
    EXPECT_EQ(encoded.find("\xE2\x80\xA9"), std::string::npos);
    EXPECT_EQ(encoded.find("\xC2\x85"), std::string::npos);
}

TEST(MessagesTest, AnyTextReadsBackAsValidJsonOnOneLine) {
    for (const TextCase& c : adversarialTexts()) {
        SCOPED_TRACE(c.name);

        ErrorMessage error;
        error.source = c.text;
        error.message = c.text;
        error.native = true;
        const std::string errorLine = encode(error);
        expectOneSafeLine(errorLine);
        const Json errorJson = Json::parse(errorLine);  // throws on invalid UTF-8 or syntax
        EXPECT_EQ(keysOf(errorJson), (std::vector<std::string>{"type", "source", "message", "native"}));
        EXPECT_EQ(errorJson["type"], "error");
        EXPECT_EQ(errorJson["source"], c.readBack);
        EXPECT_EQ(errorJson["message"], c.readBack);
        EXPECT_EQ(errorJson["native"], true);

        ModeMessage mode;
        mode.message = c.text;
        mode.native = false;
        const std::string modeLine = encode(mode);
        expectOneSafeLine(modeLine);
        const Json modeJson = Json::parse(modeLine);
        EXPECT_EQ(keysOf(modeJson), (std::vector<std::string>{"type", "message", "native"}));
        EXPECT_EQ(modeJson["message"], c.readBack);
        EXPECT_EQ(modeJson["native"], false);

        PcmMessage pcm;
        pcm.source = c.text;
        pcm.pcmBase64 = c.text;
        const std::string pcmLine = encode(pcm);
        expectOneSafeLine(pcmLine);
        const Json pcmJson = Json::parse(pcmLine);
        EXPECT_EQ(keysOf(pcmJson), (std::vector<std::string>{"type", "source", "pcmBase64"}));
        EXPECT_EQ(pcmJson["pcmBase64"], c.readBack);
    }
}

// The spelling of escapes is what byte-oriented readers (and people) see on the wire.
TEST(JsonTextTest, EscapesUseTheShortFormsWhereJsonHasThem) {
    struct Case {
        std::string text;
        std::string json;
    };
    const Case cases[] = {
        {"\"\\/", R"("\"\\/")"},
        {"\n\r\t\b\f", R"("\n\r\t\b\f")"},
        {std::string("\x00\x01\x1f", 3), R"("\u0000\u0001\u001f")"},
        {"\xE2\x80\xA8\xE2\x80\xA9\xC2\x85", R"("\u2028\u2029\u0085")"},
        {"\xC3\xA9\x80", "\"\xC3\xA9\xEF\xBF\xBD\""},
    };
    for (const Case& c : cases) {
        std::string out = "prefix:";
        json::appendString(out, c.text);
        EXPECT_EQ(out, "prefix:" + c.json);
    }
}

}  // namespace
}  // namespace quorvia

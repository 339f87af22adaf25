// Any bytes as an error description: the line must be one valid JSON object in valid UTF-8 with
// no raw control character, and well-formed text must read back unchanged.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include <nlohmann/json.hpp>

#include "protocol/messages.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    quorvia::ErrorMessage message;
    message.source = "interviewer";
    message.message = text;
    message.native = true;
    const std::string line = quorvia::encode(message);

    for (unsigned char c : line) {
        if (c < 0x20) std::abort();
    }
    // nlohmann rejects ill-formed UTF-8 both when parsing and when dumping a string.
    const nlohmann::json parsed = nlohmann::json::parse(line);
    const std::string readBack = parsed.at("message");
    bool wellFormed = true;
    try {
        (void)nlohmann::json(text).dump();
    } catch (const nlohmann::json::type_error&) {
        wellFormed = false;
    }
    if (wellFormed && readBack != text) std::abort();
    if (!wellFormed && readBack.find("\xEF\xBF\xBD") == std::string::npos) std::abort();
    return 0;
}

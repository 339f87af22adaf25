#pragma once

// A minimal JSON writer for flat objects of strings and booleans: all the protocol needs.

#include <optional>
#include <string>
#include <string_view>

namespace quorvia::json {

// Appends `text` as a JSON string literal (with its quotation marks). The result is valid UTF-8
// and holds no raw control character whatever `text` holds: each ill-formed UTF-8 sequence
// becomes U+FFFD.
void appendString(std::string& out, std::string_view text);

// Builds one compact object, members in call order.
class ObjectWriter {
public:
    explicit ObjectWriter(std::size_t expectedSize);

    // Distinct names: with overloads a string literal would pick the bool one.
    void stringMember(std::string_view key, std::string_view value);
    void boolMember(std::string_view key, bool value);
    // Absent optionals leave no trace.
    void optionalMember(std::string_view key, const std::optional<std::string>& value) {
        if (value) stringMember(key, *value);
    }
    void optionalMember(std::string_view key, const std::optional<bool>& value) {
        if (value) boolMember(key, *value);
    }

    std::string finish() &&;

private:
    void key(std::string_view name);

    std::string text_;
};

}  // namespace quorvia::json

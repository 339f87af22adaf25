#include "protocol/messages.h"

#include "protocol/json_text.h"

namespace quorvia {

namespace {

// Keys, quotation marks, separators and literals of the largest record, so that a record of
// ASCII text is built in one allocation.
constexpr std::size_t kFixedSize = 96;

std::size_t sizeOf(const std::optional<std::string>& text) { return text ? text->size() : 0; }

}  // namespace

std::string encode(const ModeMessage& record) {
    json::ObjectWriter object(kFixedSize + record.type.size() + sizeOf(record.source) + sizeOf(record.message));
    object.stringMember("type", record.type);
    object.optionalMember("source", record.source);
    object.optionalMember("message", record.message);
    object.optionalMember("dualChannel", record.dualChannel);
    object.optionalMember("native", record.native);
    return std::move(object).finish();
}

std::string encode(const ErrorMessage& record) {
    json::ObjectWriter object(kFixedSize + record.type.size() + sizeOf(record.source) + record.message.size());
    object.stringMember("type", record.type);
    object.optionalMember("source", record.source);
    object.stringMember("message", record.message);
    object.optionalMember("native", record.native);
    return std::move(object).finish();
}

std::string encode(const PcmMessage& record) {
    json::ObjectWriter object(kFixedSize + record.type.size() + record.source.size() + record.pcmBase64.size());
    object.stringMember("type", record.type);
    object.stringMember("source", record.source);
    object.stringMember("pcmBase64", record.pcmBase64);
    return std::move(object).finish();
}

}  // namespace quorvia

#pragma once

// The one way lines reach standard output.

#include <string>

#include "protocol/messages.h"

namespace quorvia {

// Writes `line` and a line feed to file descriptor 1 under the process-wide output lock,
// through partial writes and EINTR, with no buffering in the process.
void writeProtocolLine(const std::string& line);

// Encodes outside the lock, then writes the line. A record that cannot be encoded is dropped.
template <typename Record>
void emit(Record record) {
    std::string line;
    try {
        line = encode(record);
    } catch (...) {
        return;
    }
    writeProtocolLine(line);
}

// Ends the process with `status`, without static destructors: waits (bounded) for a line that
// another thread is writing, then keeps the lock so that no new line starts.
[[noreturn]] void exitAfterOutput(int status);

}  // namespace quorvia

#pragma once

#include <optional>
#include <string>

#include "platform/net/AsyncBytes.h"

namespace platform {

// A response body read as UTF-8 text lines, each handed out as soon as its
// line end arrives. A line ends at LF, CR or CR LF (also when the CR and the
// LF come in separate reads); the end is not part of the line, and a last
// line without an end is handed out when the body ends. Bytes that are not
// UTF-8 come out as U+FFFD.
class AsyncLines {
public:
    explicit AsyncLines(AsyncBytes& bytes) : bytes_(bytes) {}

    // The next line, or none at the end of the body. Throws what reading the
    // body throws.
    std::optional<std::string> next();

private:
    AsyncBytes& bytes_;
    std::string buffer_;
    std::size_t scanned_ = 0;
    // A CR ended the previous line: an LF that comes next belongs to it.
    bool afterCarriageReturn_ = false;
    bool ended_ = false;
};

}  // namespace platform

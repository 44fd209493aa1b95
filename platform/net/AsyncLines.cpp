#include "platform/net/AsyncLines.h"

#include "platform/text/Utf.h"

namespace platform {

std::optional<std::string> AsyncLines::next() {
    for (;;) {
        if (afterCarriageReturn_ && !buffer_.empty()) {
            if (buffer_.front() == '\n') buffer_.erase(0, 1);
            afterCarriageReturn_ = false;
        }
        const std::size_t end = buffer_.find_first_of("\r\n", scanned_);
        if (end != std::string::npos) {
            std::string line = text::repairUtf8(std::string_view(buffer_).substr(0, end));
            afterCarriageReturn_ = buffer_[end] == '\r';
            buffer_.erase(0, end + 1);
            scanned_ = 0;
            return line;
        }
        scanned_ = buffer_.size();
        if (ended_) {
            if (buffer_.empty()) return std::nullopt;
            std::string line = text::repairUtf8(buffer_);
            buffer_.clear();
            scanned_ = 0;
            return line;
        }
        auto piece = bytes_.next();
        if (piece.empty()) {
            ended_ = true;
        } else {
            buffer_.append(reinterpret_cast<const char*>(piece.data()), piece.size());
        }
    }
}

}  // namespace platform

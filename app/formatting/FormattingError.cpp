#include "app/formatting/FormattingError.h"

namespace dictaro {

FormattingError::FormattingError(Kind kind, const std::string& text, std::string detail, int status)
    : std::runtime_error(text), kind_(kind), detail_(std::move(detail)), status_(status) {}

FormattingError FormattingError::backendUnavailable(const std::string& detail) {
    return FormattingError(Kind::backendUnavailable, "Formatting backend unavailable: " + detail, detail, 0);
}

FormattingError FormattingError::badResponse(int status) {
    return FormattingError(Kind::badResponse, "Formatting backend returned HTTP " + std::to_string(status), {}, status);
}

FormattingError FormattingError::decodeFailed(const std::string& detail) {
    return FormattingError(Kind::decodeFailed, "Couldn't decode formatting response: " + detail, detail, 0);
}

}  // namespace dictaro

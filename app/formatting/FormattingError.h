#pragma once

#include <stdexcept>
#include <string>

namespace dictaro {

// Every failure a formatting provider detects itself. what() is the text a
// consumer shows or logs.
class FormattingError : public std::runtime_error {
public:
    enum class Kind { backendUnavailable, badResponse, decodeFailed };

    static FormattingError backendUnavailable(const std::string& detail);
    static FormattingError badResponse(int status);
    static FormattingError decodeFailed(const std::string& detail);

    Kind kind() const noexcept { return kind_; }
    // The detail of backendUnavailable and decodeFailed; empty for badResponse.
    const std::string& detail() const noexcept { return detail_; }
    // The status of badResponse; 0 otherwise.
    int status() const noexcept { return status_; }
    std::string description() const { return what(); }

private:
    FormattingError(Kind kind, const std::string& text, std::string detail, int status);

    Kind kind_;
    std::string detail_;
    int status_;
};

}  // namespace dictaro

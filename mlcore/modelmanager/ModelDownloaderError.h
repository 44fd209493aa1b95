#pragma once

#include <stdexcept>
#include <string>

namespace celvan {

// Why the downloader could not hand back a model; the message is complete and
// shown as it is.
class ModelDownloaderError : public std::runtime_error {
public:
    enum class Kind { modelUnavailable };

    static ModelDownloaderError modelUnavailable(const std::string& message) {
        return ModelDownloaderError(Kind::modelUnavailable, message);
    }

    Kind kind() const noexcept { return kind_; }

private:
    ModelDownloaderError(Kind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}

    Kind kind_;
};

}  // namespace celvan

#pragma once

#include <stdexcept>
#include <string>

namespace sonoscribe {

// Why a JSON document could not be read into one of the engine's values. The
// kinds are the ones a reader of these files can act on: a value of the wrong
// type, a null where a value is required, a required key that is absent, or a
// value that has the right type but not an accepted content.
class DecodingError : public std::runtime_error {
public:
    enum class Kind { typeMismatch, valueNotFound, keyNotFound, dataCorrupted };

    DecodingError(Kind kind, std::string codingPath, std::string debugDescription)
        : std::runtime_error(describe(codingPath, debugDescription)),
          kind_(kind),
          codingPath_(std::move(codingPath)),
          debugDescription_(std::move(debugDescription)) {}

    Kind kind() const noexcept { return kind_; }
    // Dotted keys and bracketed indices from the document's root, such as
    // "segments[3].words[0].start"; empty for the root itself.
    const std::string& codingPath() const noexcept { return codingPath_; }
    const std::string& debugDescription() const noexcept { return debugDescription_; }

private:
    static std::string describe(const std::string& path, const std::string& description) {
        return path.empty() ? description : description + " (at " + path + ")";
    }

    Kind kind_;
    std::string codingPath_;
    std::string debugDescription_;
};

}  // namespace sonoscribe

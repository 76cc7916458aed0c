#pragma once
// The error of every trail-key operation: reading, writing and parsing key files and key texts.

#include <cstdint>
#include <string>

namespace corvel {

class TrailKeyError {
public:
    enum class Kind : std::uint8_t {
        NotFound,       // the key file does not exist
        AlreadyExists,  // saving would overwrite a file
        TooOpen,        // a private key file that group or others may use
        Io,             // the operating system refused an operation
        Malformed,      // the content is not a key of the expected form
        BadKeyName,     // a signed-note key name that the format forbids
    };

    // `path` names the file concerned, empty for a key given as text. For Io, `detail` is the
    // operation ("open", "write", ...) and `cause` the system's reason; for TooOpen, `detail`
    // is the mode in octal; for Malformed and BadKeyName, `detail` says what is wrong.
    TrailKeyError(Kind kind, std::string path, std::string detail = {}, std::string cause = {})
        : kind_(kind), path_(std::move(path)), detail_(std::move(detail)), cause_(std::move(cause)) {}

    Kind kind() const { return kind_; }
    const std::string& path() const { return path_; }
    // The same error about the file `path`, for a text that was read from it.
    TrailKeyError with_path(std::string path) const {
        TrailKeyError copy = *this;
        copy.path_ = std::move(path);
        return copy;
    }
    std::string message() const;

    bool operator==(const TrailKeyError&) const = default;

private:
    Kind kind_;
    std::string path_;
    std::string detail_;
    std::string cause_;
};

}  // namespace corvel

#include "keys/trail_key_error.hpp"

namespace corvel {

std::string TrailKeyError::message() const {
    const std::string quoted = "'" + path_ + "'";
    switch (kind_) {
        case Kind::NotFound: return "Key file " + quoted + " does not exist";
        case Kind::AlreadyExists: return "Key file " + quoted + " already exists: refusing to overwrite it";
        case Kind::TooOpen:
            return "Permissions " + detail_ + " for " + quoted +
                   " are too open: the key file must be readable by its owner only (chmod 600 " + path_ + ")";
        case Kind::Io: return "Cannot " + detail_ + " key file " + quoted + ": " + cause_;
        case Kind::Malformed:
            return path_.empty() ? "Invalid key: " + detail_ : "Invalid key file " + quoted + ": " + detail_;
        case Kind::BadKeyName:
            return path_.empty() ? "Invalid key name: " + detail_
                                 : "Invalid key file " + quoted + ": invalid key name: " + detail_;
    }
    return {};
}

}  // namespace corvel

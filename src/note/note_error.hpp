#pragma once
// The error of signed notes, note keys and checkpoints: one kind per reason, one display text.

#include <cstdint>
#include <string>

namespace corvel {

class NoteError {
public:
    enum class Kind : std::uint8_t {
        BadKeyName,         // detail: the name, quoted (or where it stood, when it may be key material), and what is wrong with it
        BadVerifierKey,     // detail: what is wrong with the key text
        BadText,            // detail: why the text cannot be signed or opened
        Malformed,          // detail: what is wrong with the signed note
        TooManySignatures,  // more signature lines than kMaxSignatureLines
        BadSignature,       // detail: the key name whose signature does not verify
        NoKnownSignature,   // no signature from a known key
        SigningFailed,      // detail: the signer's reason
        BadCheckpoint,      // detail: what is wrong with the checkpoint text
        OriginMismatch,     // detail: the origin found
    };

    explicit NoteError(Kind kind, std::string detail = {}) : kind_(kind), detail_(std::move(detail)) {}

    Kind kind() const { return kind_; }
    const std::string& detail() const { return detail_; }
    std::string message() const;

    bool operator==(const NoteError&) const = default;

private:
    Kind kind_;
    std::string detail_;
};

}  // namespace corvel

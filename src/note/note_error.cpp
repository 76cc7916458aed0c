#include "note/note_error.hpp"

#include "note/signed_note.hpp"

namespace corvel {

std::string NoteError::message() const {
    switch (kind_) {
        case Kind::BadKeyName:
            return "Invalid note key name " + detail_ +
                   "; a name is non-empty UTF-8 without spaces, plus signs or control characters";
        case Kind::BadVerifierKey: return "Invalid verifier key: " + detail_;
        case Kind::BadText: return "Invalid note text: " + detail_;
        case Kind::Malformed: return "Malformed signed note: " + detail_;
        case Kind::TooManySignatures:
            return "Malformed signed note: more than " + std::to_string(kMaxSignatureLines) + " signature lines";
        case Kind::BadSignature: return "Signed note: the signature by known key " + detail_ + " does not verify";
        case Kind::NoKnownSignature: return "Signed note: no signature by a known key";
        case Kind::SigningFailed: return "Signing the note failed: " + detail_;
        case Kind::BadCheckpoint: return "Malformed checkpoint: " + detail_;
        case Kind::OriginMismatch: return "Checkpoint origin \"" + detail_ + "\" is not the expected one";
    }
    return {};
}

}  // namespace corvel

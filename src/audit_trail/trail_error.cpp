#include "audit_trail/trail_error.hpp"

namespace corvel {

std::string TrailError::message() const {
    const auto text = [&] { return std::get<std::string>(payload_); };
    const auto number = [&] { return std::to_string(std::get<std::uint64_t>(payload_)); };
    const auto pair = [&] { return std::get<std::pair<std::string, std::string>>(payload_); };
    switch (kind_) {
        case Kind::Audit: return std::get<AuditError>(payload_).message();
        case Kind::Locked: return "Audit trail " + text() + " is already open for writing by another writer";
        case Kind::WrongKey: return "Audit trail " + text() + " was written under another key";
        case Kind::ActionMismatch: return "The " + text() + " was issued for another action";
        case Kind::NonceReplayed: return "Proof nonce already recorded in the audit trail at index " + number();
        case Kind::InvalidText: return "The " + text() + " holds text that is not valid UTF-8";
        case Kind::EntryTooLarge:
            return "Audit trail entry of " + number() + " bytes exceeds the limit of " +
                   std::to_string(kMaxEntryLine) + " bytes";
        case Kind::Closed: return "Audit trail is closed";
        case Kind::NoTree: return "The audit trail's Merkle tree is unavailable: " + text();
        case Kind::Checkpoint: return "Checkpoint error: " + text();
        case Kind::NotThePrefix: return "The audit trail does not hold the checkpoint's tree: " + text();
        case Kind::IndexOutOfRange:
            return "Entry index out of range: " + text() + "; an index is 0 to 18446744073709551615";
        case Kind::NotRepairable:
            return pair().second + "; " + pair().first + " was left untouched: it is not a trail, or it is damaged "
                   "where no append cut short could explain it";
        case Kind::RepairFailed: return "Audit trail " + pair().first + ": " + pair().second;
        case Kind::BadDocument: return "Invalid " + text();
        case Kind::ProofRefused: return "The proof does not verify: " + text();
        case Kind::Broken:
            return "Audit trail writer stopped after a write that could not be undone; reopen the trail to repair it";
    }
    return {};
}

}  // namespace corvel

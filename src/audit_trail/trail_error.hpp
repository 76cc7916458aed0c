#pragma once
// What can go wrong with an audit trail: the audit log's own errors (I/O, malformed file,
// broken chain, bad signature), each with its fixed text, and the writer's refusals.

#include <cstdint>
#include <string>
#include <utility>
#include <variant>

#include "audit_log/audit_error.hpp"

namespace corvel {

class TrailError {
public:
    enum class Kind : std::uint8_t {
        Audit,           // the audit log's error, with its display text
        Locked,          // another writer holds the file
        WrongKey,        // the first entry is not signed by this writer's key
        ActionMismatch,  // the proof or the watchdog record was issued for another action
        NonceReplayed,   // the proof's nonce is already in the trail
        InvalidText,     // a text of the entry is not valid UTF-8
        EntryTooLarge,   // the entry's line would exceed the line limit
        Closed,          // the writer was closed
        Broken,          // a failed write could not be undone; reopening repairs the file
        NoTree,          // the Merkle tree beside the trail cannot be kept
        Checkpoint,      // a checkpoint could not be made, or a given one is malformed or unsigned
        NotThePrefix,    // the trail does not hold the checkpoint's tree: cut short, rewritten or forked
        IndexOutOfRange, // an entry index given by the caller is negative or needs more than 64 bits
        NotRepairable,   // the file's end is not an append cut short: not a trail, or damaged; left untouched
        RepairFailed,    // the tail of a cut-short append could not be kept or removed
        BadDocument,     // an evidence or consistency document is malformed
        ProofRefused,    // a proof in a document does not lead to its checkpoint's root
    };

    static TrailError audit(AuditError error) { return {Kind::Audit, std::move(error)}; }
    static TrailError locked(std::string path) { return {Kind::Locked, std::move(path)}; }
    static TrailError wrong_key(std::string path) { return {Kind::WrongKey, std::move(path)}; }
    static TrailError action_mismatch(std::string what) { return {Kind::ActionMismatch, std::move(what)}; }
    static TrailError nonce_replayed(std::uint64_t earlier_index) { return {Kind::NonceReplayed, earlier_index}; }
    static TrailError invalid_text(std::string member) { return {Kind::InvalidText, std::move(member)}; }
    static TrailError entry_too_large(std::uint64_t size) { return {Kind::EntryTooLarge, size}; }
    static TrailError closed() { return {Kind::Closed, std::monostate{}}; }
    static TrailError broken() { return {Kind::Broken, std::monostate{}}; }
    static TrailError no_tree(std::string reason) { return {Kind::NoTree, std::move(reason)}; }
    static TrailError checkpoint(std::string reason) { return {Kind::Checkpoint, std::move(reason)}; }
    static TrailError not_the_prefix(std::string what) { return {Kind::NotThePrefix, std::move(what)}; }
    static TrailError index_out_of_range(bool negative) {
        return {Kind::IndexOutOfRange, std::string(negative ? "it is negative" : "it needs more than 64 bits")};
    }
    // `why` is the full text of the reading's error.
    static TrailError not_repairable(std::string path, std::string why) {
        return {Kind::NotRepairable, std::pair{std::move(path), std::move(why)}};
    }
    // `what` says what happened to the file and where the removed bytes were kept, if anywhere.
    static TrailError repair_failed(std::string path, std::string what) {
        return {Kind::RepairFailed, std::pair{std::move(path), std::move(what)}};
    }
    // `what` starts with the document's kind: "evidence: ..." or "consistency document: ...".
    static TrailError bad_document(std::string what) { return {Kind::BadDocument, std::move(what)}; }
    static TrailError proof_refused(std::string what) { return {Kind::ProofRefused, std::move(what)}; }

    Kind kind() const { return kind_; }
    // The audit log's error of Kind::Audit; null for the others.
    const AuditError* audit_error() const { return std::get_if<AuditError>(&payload_); }
    std::string message() const;

private:
    using Payload =
        std::variant<std::monostate, AuditError, std::string, std::uint64_t, std::pair<std::string, std::string>>;
    TrailError(Kind kind, Payload payload) : kind_(kind), payload_(std::move(payload)) {}

    Kind kind_;
    Payload payload_;
};

// "1 entry", "2 entries": counts in messages agree in number.
inline std::string entries_text(std::uint64_t count) {
    return std::to_string(count) + (count == 1 ? " entry" : " entries");
}

// The longest entry line the trail writes or reads: 64 MiB.
inline constexpr std::size_t kMaxEntryLine = std::size_t{64} << 20;

}  // namespace corvel

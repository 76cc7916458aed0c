#pragma once
// An action proposed by an AI runtime and its canonical encoding, the only input of its hash.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/bytes.hpp"

namespace corvel {

// The six kinds of action; the value is the tag written in the canonical encoding.
enum class ActionKind : std::uint32_t { Delete = 0, Write = 1, Read = 2, Execute = 3, Network = 4, Custom = 5 };

class ActionType {
public:
    ActionType(ActionKind kind = ActionKind::Delete) : kind_(kind) {}
    static ActionType custom(std::string name) { return ActionType(ActionKind::Custom, std::move(name)); }

    ActionKind kind() const { return kind_; }
    // The name of a Custom kind; empty for the others.
    const std::string& custom_name() const { return custom_name_; }
    // The variant name: "Delete", ..., "Network", "Custom".
    std::string_view variant_name() const;

    bool operator==(const ActionType&) const = default;

private:
    ActionType(ActionKind kind, std::string name) : kind_(kind), custom_name_(std::move(name)) {}
    ActionKind kind_;
    std::string custom_name_;
};

// The canonical encoding, all integers little-endian, nothing between the fields:
//
//   kind tag       u32       0 Delete, 1 Write, 2 Read, 3 Execute, 4 Network, 5 Custom
//   custom name    u64 + n   Custom only: the name's byte length, then its bytes
//   target         u64 + n   the byte length, then the UTF-8 bytes
//   payload        u8 [...]  0x00 if absent; else 0x01, the u64 length, the bytes
//   metadata       u8 [...]  the same as payload
//
// Lengths come first, so no two actions encode alike; the hash is SHA-256 over exactly this.
struct Action {
    ActionType action_type;
    std::string target;
    std::optional<Bytes> payload;
    std::optional<std::string> metadata;

    // Exact length of the canonical encoding.
    std::size_t encoded_size() const;
    // The canonical encoding in one buffer sized exactly beforehand.
    Bytes canonical_encoding() const;
    // SHA-256 of the canonical encoding.
    Hash32 hash() const;

    bool operator==(const Action&) const = default;
};

// Where an operation gets an action's digest when it needs one, so that a caller that keeps
// the digest (the Python Action does) spares the encoding, and an operation that may not need
// it (the watchdog approves without it) never computes it. Non-owning: the context must
// outlive the call it is passed to.
class ActionDigest {
public:
    // The digest computed from the action's canonical encoding.
    explicit ActionDigest(const Action& action)
        : get_([](const void* context) { return static_cast<const Action*>(context)->hash(); }), context_(&action) {}
    ActionDigest(Hash32 (*get)(const void* context), const void* context) : get_(get), context_(context) {}

    Hash32 operator()() const { return get_(context_); }

private:
    Hash32 (*get_)(const void*);
    const void* context_;
};

}  // namespace corvel

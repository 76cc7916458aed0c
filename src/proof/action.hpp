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

}  // namespace corvel

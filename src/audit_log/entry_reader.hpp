#pragma once
// The mapping of JSON onto audit entries: one parsed array element becomes an AuditEntry, with
// every member present once, exact array lengths and integers in range.

#include <simdjson.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "audit_log/audit_entry.hpp"

namespace corvel::audit_json {

// Reads one entry. Every value is read or, for unknown members, validated to the end, so
// nothing in an entry goes unchecked. After a false return, message() says why.
class EntryReader {
public:
    bool entry(simdjson::ondemand::value& v, AuditEntry& out);

    bool fail_code(simdjson::error_code code);

    // The error, with the members that lead to it: "... at entry 3, field `proof.nonce`".
    std::string message(std::uint64_t entry_index) const;

private:
    using Value = simdjson::ondemand::value;

    bool fail(std::string message);
    bool type_error(Value& v, const std::string& expected);

    template <std::size_t N, typename OnMember>
    bool members(Value& v, const std::array<std::string_view, N>& names, std::uint32_t required,
                 const char* expected, OnMember&& on_member);
    template <typename OnVariant>
    bool single_member(Value& v, const char* expected, OnVariant&& on_variant);
    template <std::size_t N, typename OnUnit, typename OnPayload>
    bool enumeration(Value& v, const std::array<std::string_view, N>& variants, const char* payload_kind,
                     const char* expected, OnUnit&& on_unit, OnPayload&& on_payload);
    template <typename Emit>
    bool byte_list(Value& v, const char* expected, Emit&& emit);
    template <typename T, typename Read>
    bool optional(Value& v, std::optional<T>& out, Read&& read);

    bool key_of(simdjson::ondemand::field& field, std::string_view& key);
    bool u64(Value& v, std::uint64_t& out);
    bool hash32(Value& v, Hash32& out);
    bool bytes(Value& v, Bytes& out);
    bool string(Value& v, std::string& out);
    bool action_type(Value& v, ActionType& out);
    bool status(Value& v, VerificationStatus& out);
    bool decision(Value& v, Decision& out);
    bool action(Value& v, Action& out);
    bool proof(Value& v, IntegrityProof& out);
    bool skip(Value& v, unsigned levels);

    std::string error_;
    // Members that lead to the error, innermost first.
    std::vector<std::string_view> path_;
};

}  // namespace corvel::audit_json

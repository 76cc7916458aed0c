#pragma once
// Approvals of one tool call: a gate that may not allow a call by itself signs an approval
// request; an approver who agrees signs the same terms as an approval; the gate accepts the
// call when it brings an approval that holds for exactly this call, signed by a key the gate
// trusts, and whose nonce it never saw before (the nonce store is the caller's, see
// corvel_charter.nonce_stores).
//
// Both are signed notes. The text, every line ending in a newline:
//
//   corvel-charter approval request v1     (an approval: "corvel-charter approval v1")
//   tool <the tool's name>
//   arguments <SHA-256 of the call's canonical JSON arguments, 64 lower-case hex digits>
//   policy <the policy's fingerprint, 64 lower-case hex digits>
//   nonce <32 random bytes, 64 lower-case hex digits>
//   issued <Unix seconds, decimal, no leading zero>
//   expires <Unix seconds, later than issued>

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>

#include "approval/approval_error.hpp"
#include "base/bytes.hpp"
#include "note/note_key.hpp"

namespace corvel {

// How far ahead of the checker's clock an approval may be dated (clocks of two machines).
inline constexpr std::uint64_t kApprovalClockTolerance = 300;
// The longest tool name an approval may carry, in bytes.
inline constexpr std::size_t kMaxApprovalToolName = 1024;

enum class ApprovalStage : std::uint8_t { Request, Approval };

struct ApprovalTerms {
    std::string tool;
    Hash32 arguments_hash{};
    Hash32 policy_fingerprint{};
    Nonce nonce{};
    std::uint64_t issued = 0;
    std::uint64_t expires = 0;

    bool operator==(const ApprovalTerms&) const = default;
};

// The note text of the terms at a stage; refuses an empty, overlong or unprintable tool name
// and an expiry not after the issue time (BadTerms).
std::expected<std::string, ApprovalError> approval_text(const ApprovalTerms& terms, ApprovalStage stage);
struct ParsedApproval {
    ApprovalStage stage;
    ApprovalTerms terms;
};
std::expected<ParsedApproval, ApprovalError> parse_approval_text(std::string_view text);

// Fresh terms for a call: a random nonce, issued at `now`, expiring `life_seconds` later.
std::expected<ApprovalTerms, ApprovalError> approval_terms(std::string tool, const Hash32& arguments_hash,
                                                           const Hash32& policy_fingerprint, std::uint64_t now,
                                                           std::uint64_t life_seconds);

// The signed note of the terms at a stage, by `signer` (the gate for a request, the approver
// for an approval).
std::expected<std::string, ApprovalError> sign_approval_note(const ApprovalTerms& terms, ApprovalStage stage,
                                                             const NoteSigner& signer);

// The terms of an approval request. With gate keys, the request must be signed by one of them;
// without, only its form is read.
std::expected<ApprovalTerms, ApprovalError> read_approval_request(std::string_view note,
                                                                  std::span<const VerifierKey> gate_keys);

// The call an approval must hold for.
struct ApprovalCall {
    std::string_view tool;
    Hash32 arguments_hash{};
    Hash32 policy_fingerprint{};
    std::uint64_t now = 0;
};

// Checks, in this order, and refuses at the first that fails: the note's form; a signature by
// a trusted key (a trusted key's signature that does not verify refuses the note); that it is
// an approval, not a request; the tool; the arguments hash; the policy fingerprint; that it is
// not dated more than kApprovalClockTolerance ahead of `now`; that `now` is not after its
// expiry. Returns its terms; the caller then records the nonce, once.
std::expected<ApprovalTerms, ApprovalError> check_approval(std::string_view note,
                                                           std::span<const VerifierKey> trusted,
                                                           const ApprovalCall& call);

}  // namespace corvel

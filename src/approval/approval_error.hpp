#pragma once
// Why an approval request or an approval is refused: one kind per reason, one display text, so
// that every refusal says which condition failed.

#include <cstdint>
#include <string>

namespace corvel {

class ApprovalError {
public:
    enum class Kind : std::uint8_t {
        BadTerms,        // detail: what is wrong with the terms given to sign
        Malformed,       // detail: what is wrong with the note or its text
        NotAnApproval,   // an approval request (or other note) given where an approval is wanted
        NotARequest,     // an approval given where a request is wanted
        Untrusted,       // no signature by a trusted key
        BadSignature,    // detail: the trusted key name whose signature does not verify
        WrongTool,       // detail: the tool the approval names
        WrongArguments,  // detail: the arguments hash the approval names, in hex
        WrongPolicy,     // detail: the policy fingerprint the approval names, in hex
        Expired,         // detail: "expires E, now N"
        FutureDated,     // detail: "issued I, now N"
        SigningFailed,   // detail: the signer's reason
    };

    explicit ApprovalError(Kind kind, std::string detail = {}) : kind_(kind), detail_(std::move(detail)) {}

    Kind kind() const { return kind_; }
    const std::string& detail() const { return detail_; }
    std::string message() const;

    bool operator==(const ApprovalError&) const = default;

private:
    Kind kind_;
    std::string detail_;
};

}  // namespace corvel

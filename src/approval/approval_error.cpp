#include "approval/approval_error.hpp"

#include "approval/approval.hpp"

namespace corvel {

std::string ApprovalError::message() const {
    switch (kind_) {
        case Kind::BadTerms: return "Invalid approval terms: " + detail_;
        case Kind::Malformed: return "Malformed approval: " + detail_;
        case Kind::NotAnApproval: return "Not an approval: this is an approval request; an approver signs it first";
        case Kind::NotARequest: return "Not an approval request: this is already an approval";
        case Kind::Untrusted: return "Approval refused: it is not signed by a trusted approver key";
        case Kind::BadSignature: return "Approval refused: the signature by trusted key " + detail_ + " does not verify";
        case Kind::WrongTool: return "Approval refused: it approves a call of tool \"" + detail_ + "\", not this one";
        case Kind::WrongArguments:
            return "Approval refused: it approves other arguments (SHA-256 " + detail_ + "), not this call's";
        case Kind::WrongPolicy:
            return "Approval refused: it was asked under another policy (fingerprint " + detail_ +
                   "), not the one in force";
        case Kind::Expired: return "Approval refused: it has expired (" + detail_ + ")";
        case Kind::FutureDated:
            return "Approval refused: it is dated more than " + std::to_string(kApprovalClockTolerance) +
                   " s ahead of this clock (" + detail_ + ")";
        case Kind::SigningFailed: return "Signing the approval failed: " + detail_;
    }
    return {};
}

}  // namespace corvel

// Approvals: the note text written and read back exactly, every malformed text refused even
// when it is properly signed, and the checks in their order with their edges.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "approval/approval.hpp"
#include "note/signed_note.hpp"
#include "support/test_util.hpp"

namespace corvel {
namespace {

SeedNoteSigner signer(const std::string& name, std::uint8_t fill) { return test::seed_signer(name, fill); }

std::string repeat(std::string_view part, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += part;
    return out;
}

ApprovalTerms sample_terms() {
    ApprovalTerms terms;
    terms.tool = "delete_tree";
    terms.arguments_hash.fill(0xa1);
    terms.policy_fingerprint.fill(0xb2);
    terms.nonce.fill(0xc3);
    terms.issued = 1'700'000'000;
    terms.expires = 1'700'000'600;
    return terms;
}

ApprovalCall call_for(const ApprovalTerms& terms, std::uint64_t now) {
    return {terms.tool, terms.arguments_hash, terms.policy_fingerprint, now};
}

TEST(ApprovalText, IsWrittenLineByLineAndReadBack) {
    const ApprovalTerms terms = sample_terms();
    const std::string text = approval_text(terms, ApprovalStage::Approval).value();
    EXPECT_EQ(text, "corvel-charter approval v1\ntool delete_tree\narguments " + repeat("a1", 32) + "\npolicy " +
                        repeat("b2", 32) + "\nnonce " + repeat("c3", 32) + "\nissued 1700000000\nexpires 1700000600\n");
    const ParsedApproval parsed = parse_approval_text(text).value();
    EXPECT_EQ(parsed.stage, ApprovalStage::Approval);
    EXPECT_EQ(parsed.terms, terms);
    const std::string request = approval_text(terms, ApprovalStage::Request).value();
    EXPECT_EQ(request.substr(0, request.find('\n')), "corvel-charter approval request v1");
    EXPECT_EQ(parse_approval_text(request)->stage, ApprovalStage::Request);
}

TEST(ApprovalText, RefusesEveryMalformedText) {
    const std::string good = approval_text(sample_terms(), ApprovalStage::Approval).value();
    const auto replaced = [&](std::string_view from, std::string_view to) {
        std::string text = good;
        text.replace(text.find(from), from.size(), to);
        return text;
    };
    const std::vector<std::string> bad = {
        "",
        replaced("approval v1", "approval v2"),
        replaced("tool delete_tree", "tool "),
        replaced("tool delete_tree", "tools delete_tree"),
        replaced("arguments a1", "arguments A1"),
        replaced("arguments a1", "arguments a"),
        replaced("policy b2", "policy zz"),
        replaced("issued 1700000000", "issued 01700000000"),
        replaced("issued 1700000000", "issued -1"),
        replaced("issued 1700000000", "issued 18446744073709551616"),
        replaced("expires 1700000600", "expires 1700000000"),  // not after the issue time
        good + "extra 1\n",
        good.substr(0, good.size() - 1),  // the last newline missing
        replaced("nonce c3", "issued c3"),  // lines out of order
    };
    for (const std::string& text : bad) {
        auto parsed = parse_approval_text(text);
        ASSERT_FALSE(parsed) << text;
        EXPECT_EQ(parsed.error().kind(), ApprovalError::Kind::Malformed) << text;
    }
    // Properly signed by a trusted key, still refused for its text.
    const SeedNoteSigner alice = signer("alice", 1);
    const std::vector<VerifierKey> trusted = {alice.verifier_key()};
    const std::string signed_bad = sign_note(replaced("policy b2", "policy zz"), alice).value();
    auto checked = check_approval(signed_bad, trusted, call_for(sample_terms(), 1'700'000'000));
    ASSERT_FALSE(checked);
    EXPECT_EQ(checked.error().message().rfind("Malformed approval: policy is not 64 lower-case hex digits", 0), 0u);
}

TEST(ApprovalTerms, RefusesWhatCannotBeSigned) {
    ApprovalTerms terms = sample_terms();
    for (std::string tool : {std::string(), std::string("a\nb"), std::string("bell\a"), std::string(1025, 'x'),
                             std::string("\xff")}) {
        terms.tool = tool;
        EXPECT_EQ(approval_text(terms, ApprovalStage::Request).error().kind(), ApprovalError::Kind::BadTerms);
    }
    terms.tool = std::string(1024, 'x');
    EXPECT_TRUE(approval_text(terms, ApprovalStage::Request));
    EXPECT_FALSE(approval_terms("tool", {}, {}, 100, 0));
    EXPECT_FALSE(approval_terms("tool", {}, {}, UINT64_MAX, 1));
    const ApprovalTerms fresh = approval_terms("tool", {}, {}, 100, 60).value();
    EXPECT_EQ(fresh.issued, 100u);
    EXPECT_EQ(fresh.expires, 160u);
    EXPECT_NE(fresh.nonce, approval_terms("tool", {}, {}, 100, 60)->nonce);
}

TEST(CheckApproval, RefusesInOrderAndAcceptsAtTheEdges) {
    const ApprovalTerms terms = sample_terms();
    const SeedNoteSigner alice = signer("alice", 1), gate = signer("gate", 2);
    const std::vector<VerifierKey> trusted = {alice.verifier_key()};
    const std::string approval = sign_approval_note(terms, ApprovalStage::Approval, alice).value();
    using Kind = ApprovalError::Kind;
    const auto kind_of = [&](std::string_view note, ApprovalCall call) {
        auto checked = check_approval(note, trusted, call);
        return checked ? std::optional<Kind>() : std::optional<Kind>(checked.error().kind());
    };

    EXPECT_EQ(kind_of(approval, call_for(terms, terms.issued)), std::nullopt);
    EXPECT_EQ(kind_of(approval, call_for(terms, terms.expires)), std::nullopt);
    EXPECT_EQ(kind_of(approval, call_for(terms, terms.issued - kApprovalClockTolerance)), std::nullopt);
    EXPECT_EQ(kind_of(approval, call_for(terms, terms.expires + 1)), Kind::Expired);
    EXPECT_EQ(kind_of(approval, call_for(terms, terms.issued - kApprovalClockTolerance - 1)), Kind::FutureDated);

    // Several conditions fail at once: the first in the documented order is named.
    ApprovalCall everything_wrong{"other_tool", {}, {}, terms.expires + 1};
    EXPECT_EQ(kind_of(approval, everything_wrong), Kind::WrongTool);
    everything_wrong.tool = terms.tool;
    EXPECT_EQ(kind_of(approval, everything_wrong), Kind::WrongArguments);
    everything_wrong.arguments_hash = terms.arguments_hash;
    EXPECT_EQ(kind_of(approval, everything_wrong), Kind::WrongPolicy);
    everything_wrong.policy_fingerprint = terms.policy_fingerprint;
    EXPECT_EQ(kind_of(approval, everything_wrong), Kind::Expired);

    const std::string by_gate = sign_approval_note(terms, ApprovalStage::Approval, gate).value();
    EXPECT_EQ(kind_of(by_gate, call_for(terms, terms.issued)), Kind::Untrusted);
    const std::string request = sign_approval_note(terms, ApprovalStage::Request, alice).value();
    EXPECT_EQ(kind_of(request, call_for(terms, terms.issued)), Kind::NotAnApproval);
    std::string tampered = approval;
    tampered.replace(tampered.find("expires 1700000600"), 18, "expires 1700009600");
    EXPECT_EQ(kind_of(tampered, call_for(terms, terms.issued)), Kind::BadSignature);
    EXPECT_EQ(kind_of("not a note", call_for(terms, terms.issued)), Kind::Malformed);
}

TEST(ReadApprovalRequest, ChecksTheGatesSignatureWhenGivenItsKey) {
    const ApprovalTerms terms = sample_terms();
    const SeedNoteSigner gate = signer("gate", 2), other = signer("gate", 3);
    const std::vector<VerifierKey> gate_keys = {gate.verifier_key()};
    const std::string request = sign_approval_note(terms, ApprovalStage::Request, gate).value();
    EXPECT_EQ(read_approval_request(request, gate_keys).value(), terms);
    const std::string forged = sign_approval_note(terms, ApprovalStage::Request, other).value();
    EXPECT_EQ(read_approval_request(forged, {}).value(), terms);  // form only
    EXPECT_EQ(read_approval_request(forged, gate_keys).error().kind(), ApprovalError::Kind::Untrusted);
    const std::string approval = sign_approval_note(terms, ApprovalStage::Approval, gate).value();
    EXPECT_EQ(read_approval_request(approval, gate_keys).error().kind(), ApprovalError::Kind::NotARequest);
}

}  // namespace
}  // namespace corvel

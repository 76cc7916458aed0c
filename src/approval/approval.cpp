#include "approval/approval.hpp"

#include <charconv>

#include "base/hex.hpp"
#include "base/os_facilities.hpp"
#include "note/signed_note.hpp"

namespace corvel {

namespace {

constexpr std::string_view kRequestHeader = "corvel-charter approval request v1";
constexpr std::string_view kApprovalHeader = "corvel-charter approval v1";

ApprovalError malformed(std::string detail) { return ApprovalError(ApprovalError::Kind::Malformed, std::move(detail)); }

std::string tool_problem(std::string_view tool) {
    if (tool.empty()) return "the tool name is empty";
    if (tool.size() > kMaxApprovalToolName)
        return "the tool name is longer than " + std::to_string(kMaxApprovalToolName) + " bytes";
    if (tool.find('\n') != std::string_view::npos) return "the tool name holds a newline";
    return note_text_problem(tool);
}

// Takes the next line (without its newline) off `text`; false when no newline is left.
bool next_line(std::string_view& text, std::string_view& line) {
    const std::size_t end = text.find('\n');
    if (end == std::string_view::npos) return false;
    line = text.substr(0, end);
    text.remove_prefix(end + 1);
    return true;
}

// "<label> <value>"; the value as it stands.
std::expected<std::string_view, ApprovalError> field(std::string_view& text, std::string_view label) {
    std::string_view line;
    if (!next_line(text, line)) return std::unexpected(malformed("the line \"" + std::string(label) + "\" is missing"));
    if (line.size() <= label.size() || line.substr(0, label.size()) != label || line[label.size()] != ' ')
        return std::unexpected(malformed("expected the line \"" + std::string(label) + " ...\""));
    return line.substr(label.size() + 1);
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

std::expected<Hash32, ApprovalError> hex32(std::string_view& text, std::string_view label) {
    auto value = field(text, label);
    if (!value) return std::unexpected(value.error());
    Hash32 out{};
    if (value->size() != 64) return std::unexpected(malformed(std::string(label) + " is not 64 lower-case hex digits"));
    for (std::size_t i = 0; i < out.size(); ++i) {
        const int high = hex_value((*value)[2 * i]), low = hex_value((*value)[2 * i + 1]);
        if (high < 0 || low < 0) return std::unexpected(malformed(std::string(label) + " is not 64 lower-case hex digits"));
        out[i] = static_cast<std::uint8_t>(high << 4 | low);
    }
    return out;
}

std::expected<std::uint64_t, ApprovalError> seconds(std::string_view& text, std::string_view label) {
    auto value = field(text, label);
    if (!value) return std::unexpected(value.error());
    std::uint64_t out = 0;
    const char* end = value->data() + value->size();
    const bool digits_only = !value->empty() && value->find_first_not_of("0123456789") == std::string_view::npos;
    const bool leading_zero = value->size() > 1 && value->front() == '0';
    const auto [stop, status] = digits_only ? std::from_chars(value->data(), end, out)
                                            : std::from_chars_result{value->data(), std::errc::invalid_argument};
    if (!digits_only || leading_zero || status != std::errc{} || stop != end)
        return std::unexpected(malformed(std::string(label) + " is not a decimal number of seconds up to 2^64 - 1"));
    return out;
}

ApprovalError from_note_error(const NoteError& error) {
    switch (error.kind()) {
        case NoteError::Kind::BadSignature: return ApprovalError(ApprovalError::Kind::BadSignature, error.detail());
        case NoteError::Kind::NoKnownSignature: return ApprovalError(ApprovalError::Kind::Untrusted);
        case NoteError::Kind::SigningFailed: return ApprovalError(ApprovalError::Kind::SigningFailed, error.detail());
        default: return malformed(error.message());
    }
}

std::string time_detail(std::string_view what, std::uint64_t when, std::uint64_t now) {
    return std::string(what) + " " + std::to_string(when) + ", now " + std::to_string(now);
}

}  // namespace

std::expected<std::string, ApprovalError> approval_text(const ApprovalTerms& terms, ApprovalStage stage) {
    if (std::string problem = tool_problem(terms.tool); !problem.empty())
        return std::unexpected(ApprovalError(ApprovalError::Kind::BadTerms, problem));
    if (terms.expires <= terms.issued)
        return std::unexpected(ApprovalError(ApprovalError::Kind::BadTerms, "the expiry is not after the issue time"));
    std::string text(stage == ApprovalStage::Request ? kRequestHeader : kApprovalHeader);
    text += "\ntool ";
    text += terms.tool;
    text += "\narguments ";
    append_hex(text, terms.arguments_hash);
    text += "\npolicy ";
    append_hex(text, terms.policy_fingerprint);
    text += "\nnonce ";
    append_hex(text, terms.nonce);
    text += "\nissued " + std::to_string(terms.issued) + "\nexpires " + std::to_string(terms.expires) + "\n";
    return text;
}

std::expected<ParsedApproval, ApprovalError> parse_approval_text(std::string_view text) {
    std::string_view header;
    if (!next_line(text, header)) return std::unexpected(malformed("no header line"));
    ParsedApproval parsed{};
    if (header == kRequestHeader) {
        parsed.stage = ApprovalStage::Request;
    } else if (header == kApprovalHeader) {
        parsed.stage = ApprovalStage::Approval;
    } else {
        return std::unexpected(malformed("the first line is neither \"" + std::string(kApprovalHeader) + "\" nor \"" +
                                         std::string(kRequestHeader) + "\""));
    }
    auto tool = field(text, "tool");
    if (!tool) return std::unexpected(tool.error());
    if (std::string problem = tool_problem(*tool); !problem.empty()) return std::unexpected(malformed(problem));
    parsed.terms.tool = std::string(*tool);
    auto arguments = hex32(text, "arguments");
    if (!arguments) return std::unexpected(arguments.error());
    auto policy = hex32(text, "policy");
    if (!policy) return std::unexpected(policy.error());
    auto nonce = hex32(text, "nonce");
    if (!nonce) return std::unexpected(nonce.error());
    auto issued = seconds(text, "issued");
    if (!issued) return std::unexpected(issued.error());
    auto expires = seconds(text, "expires");
    if (!expires) return std::unexpected(expires.error());
    if (!text.empty()) return std::unexpected(malformed("lines after \"expires\""));
    if (*expires <= *issued) return std::unexpected(malformed("the expiry is not after the issue time"));
    parsed.terms.arguments_hash = *arguments;
    parsed.terms.policy_fingerprint = *policy;
    parsed.terms.nonce = *nonce;
    parsed.terms.issued = *issued;
    parsed.terms.expires = *expires;
    return parsed;
}

std::expected<ApprovalTerms, ApprovalError> approval_terms(std::string tool, const Hash32& arguments_hash,
                                                           const Hash32& policy_fingerprint, std::uint64_t now,
                                                           std::uint64_t life_seconds) {
    if (life_seconds == 0 || now > UINT64_MAX - life_seconds)
        return std::unexpected(ApprovalError(ApprovalError::Kind::BadTerms, "the life must be at least one second"));
    ApprovalTerms terms{std::move(tool), arguments_hash, policy_fingerprint, random_array<32>(), now,
                        now + life_seconds};
    if (std::string problem = tool_problem(terms.tool); !problem.empty())
        return std::unexpected(ApprovalError(ApprovalError::Kind::BadTerms, problem));
    return terms;
}

std::expected<std::string, ApprovalError> sign_approval_note(const ApprovalTerms& terms, ApprovalStage stage,
                                                             const NoteSigner& signer) {
    auto text = approval_text(terms, stage);
    if (!text) return std::unexpected(text.error());
    auto note = sign_note(*text, signer);
    if (!note) return std::unexpected(from_note_error(note.error()));
    return std::move(*note);
}

std::expected<ApprovalTerms, ApprovalError> read_approval_request(std::string_view note,
                                                                  std::span<const VerifierKey> gate_keys) {
    std::string text;
    if (gate_keys.empty()) {
        auto parsed = parse_note(note);
        if (!parsed) return std::unexpected(from_note_error(parsed.error()));
        text = std::move(parsed->text);
    } else {
        auto opened = open_note(note, gate_keys);
        if (!opened) return std::unexpected(from_note_error(opened.error()));
        text = std::move(opened->text);
    }
    auto parsed = parse_approval_text(text);
    if (!parsed) return std::unexpected(parsed.error());
    if (parsed->stage != ApprovalStage::Request) return std::unexpected(ApprovalError(ApprovalError::Kind::NotARequest));
    return std::move(parsed->terms);
}

std::expected<ApprovalTerms, ApprovalError> check_approval(std::string_view note,
                                                           std::span<const VerifierKey> trusted,
                                                           const ApprovalCall& call) {
    auto opened = open_note(note, trusted);
    if (!opened) return std::unexpected(from_note_error(opened.error()));
    auto parsed = parse_approval_text(opened->text);
    if (!parsed) return std::unexpected(parsed.error());
    const ApprovalTerms& terms = parsed->terms;
    using Kind = ApprovalError::Kind;
    if (parsed->stage != ApprovalStage::Approval) return std::unexpected(ApprovalError(Kind::NotAnApproval));
    if (terms.tool != call.tool) return std::unexpected(ApprovalError(Kind::WrongTool, terms.tool));
    if (terms.arguments_hash != call.arguments_hash)
        return std::unexpected(ApprovalError(Kind::WrongArguments, to_hex(terms.arguments_hash)));
    if (terms.policy_fingerprint != call.policy_fingerprint)
        return std::unexpected(ApprovalError(Kind::WrongPolicy, to_hex(terms.policy_fingerprint)));
    if (call.now <= UINT64_MAX - kApprovalClockTolerance && terms.issued > call.now + kApprovalClockTolerance)
        return std::unexpected(ApprovalError(Kind::FutureDated, time_detail("issued", terms.issued, call.now)));
    if (call.now > terms.expires)
        return std::unexpected(ApprovalError(Kind::Expired, time_detail("expires", terms.expires, call.now)));
    return std::move(parsed->terms);
}

}  // namespace corvel

// The gate: canonical arguments (RFC 8785) and their Cedar context, decisions recorded before
// they are returned, the fail-closed road, the lock of ten denials, and the gate's entries in
// the trail format.

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <limits>

#include "audit_trail/trail_json.hpp"
#include "audit_trail/trail_verifier.hpp"
#include "audit_trail/trail_writer.hpp"
#include "charter/sealed_charter.hpp"
#include "crypto/sha256.hpp"
#include "gate/tool_arguments.hpp"
#include "gate/tool_gate.hpp"
#include "support/test_util.hpp"

namespace corvel {
namespace {

namespace fs = std::filesystem;

std::string canonical(std::string_view json) {
    auto arguments = tool_arguments(json);
    if (!arguments) return "refused: " + arguments.error().message();
    return arguments->canonical;
}

std::string es(double value) {
    std::string out;
    append_es_number(out, value);
    return out;
}

TEST(ToolArguments, NumbersAreWrittenAsECMAScriptDoes) {
    // RFC 8785's examples and the edges of the plain and exponent forms.
    EXPECT_EQ(es(0.0), "0");
    EXPECT_EQ(es(-0.0), "0");
    EXPECT_EQ(es(4.5), "4.5");
    EXPECT_EQ(es(0.002), "0.002");
    EXPECT_EQ(es(1e-6), "0.000001");
    EXPECT_EQ(es(1e-7), "1e-7");
    EXPECT_EQ(es(1e20), "100000000000000000000");
    EXPECT_EQ(es(1e21), "1e+21");
    EXPECT_EQ(es(1e23), "1e+23");
    EXPECT_EQ(es(333333333.33333329), "333333333.3333333");
    EXPECT_EQ(es(-1.5e-9), "-1.5e-9");
    EXPECT_EQ(es(5e-324), "5e-324");
    EXPECT_EQ(es(std::numeric_limits<double>::max()), "1.7976931348623157e+308");
    EXPECT_EQ(es(9007199254740992.0), "9007199254740992");
    EXPECT_EQ(es(295147905179352830000.0), "295147905179352830000");
}

TEST(ToolArguments, CanonicalTextSortsByUtf16AndEscapesMinimally) {
    // RFC 8785 section 3.2.3: U+1F600 (a surrogate pair) sorts before U+FB33.
    EXPECT_EQ(canonical(R"({"\u20ac":1,"\r":2,"\ufb33":3,"1":4,"\ud83d\ude00":5,"\u0080":6,"\u00f6":7})"),
              "{\"\\r\":2,\"1\":4,\"\u0080\":6,\"\u00f6\":7,\"\u20ac\":1,\"\U0001F600\":5,\"\ufb33\":3}");
    EXPECT_EQ(canonical(" [ 1.0 , 1E2, -0, \"a/\\u001f\\b\\\"\", true , null, {} ] "),
              "[1,100,0,\"a/\\u001f\\b\\\"\",true,null,{}]");
    EXPECT_EQ(canonical(R"({"b":{"y":1,"x":[2,1]},"a":"\u00e9"})"), "{\"a\":\"\u00e9\",\"b\":{\"x\":[2,1],\"y\":1}}");
    // The hash is of the canonical text, so spelling does not change it.
    EXPECT_EQ(tool_arguments(R"({ "b" : 1, "a" : 2.50 })")->hash, hash_bytes(as_bytes(R"({"a":2.5,"b":1})")));
}

TEST(ToolArguments, TextWithoutACanonicalFormIsRefused) {
    for (const std::string_view bad : {R"({"a":1,"a":2})", R"([9007199254740993])", R"([-9007199254740993])",
                                       R"({"x":"\ud800"})", R"({"x":{"__entity":{"type":"Agent","id":"root"}}})",
                                       R"({"__extn":1})", "{", "", "[1] [2]", "\"\xff\"", "[1e400]",
                                       // beyond 2^53 written as a fraction: its canonical text
                                       // (100000000000000000000) would read back as an integer
                                       "[1e20]", "[-1.5e300]", "[9007199254740994.0]"}) {
        EXPECT_FALSE(tool_arguments(bad).has_value()) << bad;
    }
    EXPECT_EQ(canonical(R"({"a":1,"a":2})"), "refused: Tool arguments are not canonical JSON: the member \"a\" is named twice");
    // 2^53 itself is exact, however it is written, and its canonical text reads back.
    EXPECT_EQ(canonical("[9007199254740992,-9007199254740992]"), "[9007199254740992,-9007199254740992]");
    EXPECT_EQ(canonical("[9007199254740992.0,9.007199254740992e15]"), "[9007199254740992,9007199254740992]");
}

TEST(ToolArguments, TheContextGivesCedarOnlyValuesItCanHold) {
    const auto arguments = tool_arguments(R"({"cmd":"RM  -RF /","n":[null,1.5,3.0,7],"ok":true})");
    ASSERT_TRUE(arguments.has_value());
    EXPECT_EQ(arguments->context,
              R"({"arguments":{"cmd":"RM  -RF /","n":["null","1.5",3,7],"ok":true},)"
              R"("arguments_json":"{\"cmd\":\"RM  -RF /\",\"n\":[null,1.5,3,7],\"ok\":true}",)"
              R"("text":"{\"cmd\":\"rm -rf /\",\"n\":[null,1.5,3,7],\"ok\":true}"})");
}

// ------------------------------------------------------------------------------ the gate

std::uint64_t pinned_clock() { return 1'800'000'000; }

constexpr std::string_view kPolicy = "permit(principal, action, resource);";

// A key store whose signing always fails: the fault a gate must turn into a denial.
class FailingSigner : public KeyStore {
public:
    std::expected<Bytes, CryptoError> sign(ByteView) const override {
        return std::unexpected(CryptoError(CryptoError::Kind::SigningFailed, "injected"));
    }
    std::expected<void, CryptoError> verify(ByteView, ByteView) const override { return {}; }
    Bytes public_key_bytes() const override { return Bytes(32, 0); }
    std::string identifier() const override { return "FailingSigner"; }
};

class GateTest : public ::testing::Test {
protected:
    GateTest() {
        std::string pattern = (fs::temp_directory_path() / "corvel-gate-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        dir_ = pattern;
        path_ = (dir_ / "trail.json").string();
        Seed seed{};
        seed.fill(3);
        key_ = std::make_shared<const TrailKey>(TrailKey::from_seed(seed));
        auto writer = TrailWriter::open(path_, key_, SyncPolicy{.every = 0, .interval = {}, .checkpoint_origin = {}},
                                        pinned_clock);
        if (!writer) throw std::runtime_error(writer.error().message());
        writer_ = std::move(*writer);
    }
    ~GateTest() override {
        gate_.reset();
        writer_.reset();
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    ToolGate& gate(std::shared_ptr<const KeyStore> signer = nullptr) {
        auto made = ToolGate::create(std::string(kPolicy), "agent-7", "files", *writer_, std::move(signer), pinned_clock);
        if (!made) throw std::runtime_error(made.error().message());
        gate_ = std::move(*made);
        return *gate_;
    }

    static ToolArguments arguments(std::string_view json = R"({"path":"notes.txt"})") { return *tool_arguments(json); }

    std::vector<TrailEntry> entries() {
        if (auto synced = writer_->sync(); !synced) throw std::runtime_error(synced.error().message());
        const std::string text = test::read_file(path_);
        std::vector<TrailEntry> out;
        TrailEntryParser parser;
        std::size_t start = text.find('\n') + 1;
        while (start < text.size() && text[start] != ']') {
            const std::size_t end = text.find('\n', start);
            std::string line = text.substr(start, end - start);
            if (!line.empty() && line.back() == ',') line.pop_back();
            line.append(TrailEntryParser::kPadding, ' ');
            auto entry = parser.parse(std::string_view(line).substr(0, line.size() - TrailEntryParser::kPadding));
            if (!entry) throw std::runtime_error(entry.error());
            out.push_back(std::move(*entry));
            start = end + 1;
        }
        return out;
    }

    fs::path dir_;
    std::string path_;
    std::shared_ptr<const TrailKey> key_;
    std::unique_ptr<TrailWriter> writer_;
    std::unique_ptr<ToolGate> gate_;
};

TEST_F(GateTest, AnAllowIsSignedAndRecordedBeforeItIsReturned) {
    ToolGate& g = gate();
    EXPECT_EQ(g.fingerprint(), charter_hash_of({std::string(kPolicy)}));
    const ToolArguments args = arguments();
    const GateDecision decision = g.decide("read_file", &args, PolicyVerdict::allow({"allow-reads"}));
    ASSERT_TRUE(decision.allowed);
    EXPECT_EQ(decision.reason, "Allowed by policy allow-reads");
    ASSERT_EQ(decision.index, 0u);
    EXPECT_EQ(writer_->count(), 1u);
    EXPECT_EQ(decision.arguments_hash, args.hash);

    const auto recorded = entries();
    const TrailEntry& entry = recorded.at(0);
    EXPECT_EQ(entry.entry.action,
              (Action{ActionType::custom("read_file"), "files", Bytes(args.canonical.begin(), args.canonical.end()),
                      std::string("agent-7")}));
    EXPECT_EQ(entry.entry.decision, Decision::approved());
    EXPECT_EQ(entry.gate, GateRecord(GateCall{{"allow-reads"}, 0}));
    // The proof binds the call to the policy's fingerprint, and the trail's key checks it.
    const IntegrityProof& proof = entry.entry.proof;
    EXPECT_EQ(proof.capsule_hash, g.fingerprint());
    EXPECT_EQ(proof.action_hash, entry.entry.action.hash());
    EXPECT_TRUE(key_->public_key().verify(proof.signing_data(), proof.signature));
    EXPECT_EQ(decision.proof, proof);
    EXPECT_TRUE(verify_trail(path_, key_->public_key().bytes()).has_value());
}

TEST_F(GateTest, DenialsAndFailuresAreRecordedWithTheirReasonAndAnUnsignedProof) {
    ToolGate& g = gate();
    const ToolArguments args = arguments();
    const GateDecision forbidden = g.decide("read_file", &args, PolicyVerdict::deny({"no-secrets", "no-etc"}));
    const GateDecision unmatched = g.decide("read_file", &args, PolicyVerdict::deny({}));
    const GateDecision failed = g.decide("read_file", nullptr, PolicyVerdict::failed("the arguments are not JSON"));
    EXPECT_EQ(forbidden.reason, "Denied by policy no-secrets, no-etc");
    EXPECT_EQ(unmatched.reason, "Denied: no policy allows this call");
    EXPECT_EQ(failed.reason, "Denied, fail-closed: the arguments are not JSON");
    EXPECT_EQ(failed.arguments_hash, Hash32{});
    EXPECT_EQ(failed.denials, 3u);

    const auto recorded = entries();
    ASSERT_EQ(recorded.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        const GateDecision& decision = i == 0 ? forbidden : i == 1 ? unmatched : failed;
        EXPECT_FALSE(decision.allowed);
        EXPECT_EQ(decision.index, i);
        EXPECT_EQ(recorded[i].entry.decision, Decision::denied(decision.reason));
        // No signature on a denial's proof: it is not a token anyone should present.
        EXPECT_TRUE(recorded[i].entry.proof.signature.empty());
        EXPECT_EQ(recorded[i].entry.proof.status, VerificationStatus::failed(decision.reason));
        EXPECT_EQ(std::get<GateCall>(*recorded[i].gate).denials, i + 1);
    }
    EXPECT_FALSE(recorded[2].entry.action.payload.has_value());
}

TEST_F(GateTest, TenDenialsLockWithASignedSignalUntilTheResetIsAcknowledged) {
    ToolGate& g = gate();
    const ToolArguments args = arguments();
    // An allow in the middle starts the count again.
    for (int i = 0; i < 5; ++i) g.decide("rm", &args, PolicyVerdict::deny({"destructive"}));
    EXPECT_TRUE(g.decide("ls", &args, PolicyVerdict::allow({})).allowed);
    EXPECT_EQ(g.denials(), 0u);
    GateDecision last;
    for (std::uint32_t i = 1; i <= 10; ++i) {
        last = g.decide("rm", &args, PolicyVerdict::deny({"destructive"}));
        EXPECT_EQ(last.denials, i);
        EXPECT_EQ(last.hard_reset_signal.has_value(), i == 10);
        EXPECT_EQ(g.locked(), i == 10);
    }
    const HardResetSignal& signal = *last.hard_reset_signal;
    EXPECT_EQ(signal.total_violations, 10u);
    EXPECT_EQ(signal.charter_hash, g.fingerprint());
    EXPECT_TRUE(signal.final_denial.triggered_hard_reset);
    EXPECT_EQ(signal.final_denial.violated_rule, "destructive");
    EXPECT_TRUE(key_->public_key().verify(signal.signing_data(), signal.signature));

    // Locked: even what the policy allows is denied, recorded, and the count stays.
    const GateDecision while_locked = g.decide("ls", &args, PolicyVerdict::allow({"allow-all"}));
    EXPECT_FALSE(while_locked.allowed);
    EXPECT_EQ(while_locked.reason,
              "Denied: the gate is locked after 10 consecutive denials until the reset is acknowledged");
    EXPECT_EQ(while_locked.denials, 10u);
    EXPECT_FALSE(while_locked.hard_reset_signal.has_value());

    const auto recorded = entries();
    ASSERT_EQ(recorded.size(), 17u);
    EXPECT_EQ(recorded[15].watchdog.hard_reset_signal, signal);
    EXPECT_EQ(recorded[16].entry.decision, Decision::denied(while_locked.reason));

    g.acknowledge_reset();
    EXPECT_FALSE(g.locked());
    EXPECT_TRUE(g.decide("ls", &args, PolicyVerdict::allow({})).allowed);
    EXPECT_TRUE(verify_trail(path_, key_->public_key().bytes()).has_value());
}

TEST_F(GateTest, ASigningFailureDeniesAndIsRecorded) {
    ToolGate& g = gate(std::make_shared<FailingSigner>());
    const ToolArguments args = arguments();
    const GateDecision decision = g.decide("ls", &args, PolicyVerdict::allow({"allow-all"}));
    EXPECT_FALSE(decision.allowed);
    EXPECT_EQ(decision.reason,
              "Denied, fail-closed: the allow could not be signed: Cryptographic error: Failed to sign data: injected");
    EXPECT_EQ(decision.index, 0u);
    EXPECT_EQ(entries().at(0).entry.decision, Decision::denied(decision.reason));

    // The tenth denial still locks when its signal cannot be signed; the entry says why it has none.
    GateDecision last;
    for (int i = 0; i < 9; ++i) last = g.decide("ls", &args, PolicyVerdict::allow({}));
    EXPECT_TRUE(g.locked());
    EXPECT_FALSE(last.hard_reset_signal.has_value());
    EXPECT_NE(last.reason.find("(the hard-reset signal could not be signed: "), std::string::npos);
}

TEST_F(GateTest, ATrailThatCannotWriteNeverLetsAnAllowThrough) {
    ToolGate& g = gate();
    const ToolArguments args = arguments();
    ASSERT_TRUE(writer_->close().has_value());
    const GateDecision decision = g.decide("ls", &args, PolicyVerdict::allow({"allow-all"}));
    EXPECT_FALSE(decision.allowed);
    EXPECT_FALSE(decision.index.has_value());
    EXPECT_EQ(decision.reason, "Denied, fail-closed: the allow could not be recorded: Audit trail is closed");
    EXPECT_FALSE(decision.proof.has_value());
}

TEST_F(GateTest, OutcomesLinkToAnOpenAllowOnce) {
    ToolGate& g = gate();
    const ToolArguments args = arguments();
    const GateDecision allowed = g.decide("read_file", &args, PolicyVerdict::allow({}));
    const GateDecision denied = g.decide("read_file", &args, PolicyVerdict::deny({}));
    const Hash32 result = hash_bytes(as_bytes("file contents"));
    EXPECT_EQ(g.record_outcome(*denied.index, true, result).error().message(),
              "No allowed call awaits an outcome at trail index 1");
    EXPECT_EQ(g.record_outcome(99, true, result).error().kind(), GateError::Kind::UnknownDecision);
    const auto outcome = g.record_outcome(*allowed.index, false, result);
    ASSERT_TRUE(outcome.has_value());
    EXPECT_EQ(*outcome, 2u);
    EXPECT_FALSE(g.record_outcome(*allowed.index, true, result).has_value());

    const TrailEntry entry = entries().at(2);
    EXPECT_EQ(entry.gate, GateRecord(GateOutcome{0, false, result}));
    EXPECT_EQ(entry.entry.action.action_type, ActionType::custom("read_file"));
    EXPECT_FALSE(entry.entry.action.payload.has_value());
    EXPECT_TRUE(entry.entry.proof.signature.empty());
}

TEST_F(GateTest, TheGateRecordIsCoveredByTheEntryHash) {
    ToolGate& g = gate();
    const ToolArguments args = arguments();
    g.decide("ls", &args, PolicyVerdict::allow({"a"}));
    g.record_outcome(0, true, Hash32{});
    auto recorded = entries();
    for (TrailEntry& entry : recorded) {
        const Hash32 hash = entry_hash(entry);
        EXPECT_EQ(hash, entry.entry.current_hash);
        TrailEntry changed = entry;
        if (auto* call = std::get_if<GateCall>(&*changed.gate)) {
            call->policies[0] = "b";
        } else {
            std::get<GateOutcome>(*changed.gate).success = false;
        }
        EXPECT_NE(entry_hash(changed), hash);
        changed.gate.reset();
        EXPECT_NE(entry_hash(changed), hash);
    }
    // Policy ids cannot trade bytes: ["ab"] and ["a", "b"] hash apart.
    TrailEntry one = recorded[0];
    TrailEntry two = recorded[0];
    one.gate = GateCall{{"ab"}, 0};
    two.gate = GateCall{{"a", "b"}, 0};
    EXPECT_NE(entry_hash(one), entry_hash(two));
}

TEST_F(GateTest, VerificationChecksTheProofOfAnAllowAndTheSignalUnderTheTrailKey) {
    const ToolArguments args = arguments();
    const Action action{ActionType::custom("ls"), "", Bytes(args.canonical.begin(), args.canonical.end()), "agent"};
    // Written by the key holder, chained and signed, but the allow's proof is not the key's.
    IntegrityProof proof = IntegrityProof::create(action, std::string(64, 'f'), 60, pinned_clock);
    proof.signature.assign(64, 1);
    ASSERT_TRUE(writer_->append(action, proof, Decision::denied("no"), {}, GateCall{{}, 1}).has_value());
    ASSERT_TRUE(verify_trail(path_, key_->public_key().bytes()).has_value());  // a denial's proof is not checked
    IntegrityProof allow = IntegrityProof::create(action, std::string(64, 'f'), 60, pinned_clock);
    allow.signature.assign(64, 1);
    ASSERT_TRUE(writer_->append(action, allow, Decision::approved(), {}, GateCall{{}, 0}).has_value());
    ASSERT_TRUE(writer_->sync().has_value());
    EXPECT_EQ(verify_trail(path_, key_->public_key().bytes()).error().message(), "Invalid signature at audit log index 1");
}

}  // namespace
}  // namespace corvel

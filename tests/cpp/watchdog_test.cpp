// The rule check, the violation counter and the watchdog's state machine.
#include <gtest/gtest.h>
#include <sodium.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <random>
#include <set>
#include <stdexcept>
#include <thread>

#include "allocation_counter.hpp"
#include "base/fault.hpp"
#include "watchdog/watchdog.hpp"


namespace corvel {
namespace {

const Seed kSeed = [] {
    Seed seed{};
    for (std::size_t i = 0; i < seed.size(); ++i) seed[i] = static_cast<std::uint8_t>(i * 7 + 1);
    return seed;
}();

std::uint64_t g_now = 1'700'000'000;
std::uint64_t pinned_clock() { return g_now; }

// Signs with the key of kSeed or, while *failing is set, with a store whose two public-key
// copies differ and which therefore refuses every sign.
class SwitchableKeyStore : public KeyStore {
public:
    explicit SwitchableKeyStore(std::shared_ptr<std::atomic<bool>> failing)
        : failing_(std::move(failing)), good_(SoftwareKeyStore::from_seed(kSeed, false)), bad_(mismatched()) {}

    std::expected<Bytes, CryptoError> sign(ByteView data) const override { return (*failing_ ? bad_ : good_).sign(data); }
    std::expected<void, CryptoError> verify(ByteView data, ByteView signature) const override {
        return good_.verify(data, signature);
    }
    Bytes public_key_bytes() const override { return good_.public_key_bytes(); }
    std::string identifier() const override { return "switchable"; }

private:
    static SoftwareKeyStore mismatched() {
        PublicKey public_a, public_b;
        SecretKey secret_a, secret_b;
        crypto_sign_seed_keypair(public_a.data(), secret_a.data(), kSeed.data());
        crypto_sign_keypair(public_b.data(), secret_b.data());
        return SoftwareKeyStore::from_parts(secret_a, public_b, false);
    }
    std::shared_ptr<std::atomic<bool>> failing_;
    SoftwareKeyStore good_;
    SoftwareKeyStore bad_;
};

Action make(ActionKind kind, std::string target) { return Action{ActionType(kind), std::move(target), {}, {}}; }
const Action kHarmful = make(ActionKind::Delete, "/etc/passwd");
const Action kHarmless = make(ActionKind::Delete, "/home/user/notes/2024/march/todo-list.txt");

struct Fixture {
    std::shared_ptr<std::atomic<bool>> failing = std::make_shared<std::atomic<bool>>(false);
    Watchdog watchdog;
    explicit Fixture(std::vector<std::string> rules = {"Do no harm", "Respect privacy"})
        : watchdog(std::move(rules), "abc123...", std::make_unique<SwitchableKeyStore>(failing), pinned_clock) {}
};

// The violated rule, or "" when approved.
std::string verdict(const Watchdog& watchdog, const Action& action, std::string* reason = nullptr) {
    auto result = watchdog.verify_action(action);
    if (!result) throw std::runtime_error(result.error().message());
    if (!*result) return "";
    if (reason) *reason = (*result)->denial_reason;
    return (*result)->violated_rule;
}

DenialProof deny(const Watchdog& watchdog, const Action& action = kHarmful) {
    auto result = watchdog.verify_action(action);
    if (!result || !*result) throw std::runtime_error("expected a denial");
    return **result;
}

TEST(RuleCheck, EveryLineOfTheTable) {
    const char* harm = "Destructive action on critical path: ";
    const char* command = "Dangerous command detected: ";
    const char* data = "Accessing sensitive data: ";
    const char* exfil = "Potential data exfiltration: ";
    struct Case {
        ActionKind kind;
        const char* target;
        const char* reason_prefix;  // null: approved
    };
    const Case cases[] = {
        {ActionKind::Delete, "/etc/passwd", harm},
        {ActionKind::Delete, "c:\\windows\\system32\\x", harm},
        {ActionKind::Delete, "/bin/ls", harm},
        {ActionKind::Delete, "/home/user/bootstrap.sh", harm},
        {ActionKind::Delete, "/usr/local/etc/x", harm},
        {ActionKind::Delete, "/ETC/passwd", nullptr},  // targets are case-sensitive
        {ActionKind::Delete, "C:\\Windows\\System32", nullptr},
        {ActionKind::Delete, "password", nullptr},  // a privacy pattern, but not for Delete
        {ActionKind::Execute, "rm -rf /", command},
        {ActionKind::Execute, "format c:", command},
        {ActionKind::Execute, "reformat the disk", command},
        {ActionKind::Execute, "mkfs.ext4 /dev/sda", command},
        {ActionKind::Execute, "dd if=/dev/zero of=/dev/sda", command},
        {ActionKind::Execute, ":(){ :|:& };:", command},
        {ActionKind::Execute, "RM -RF /", nullptr},
        {ActionKind::Execute, "rm -r -f /", nullptr},
        {ActionKind::Execute, "cat /etc/passwd", nullptr},
        {ActionKind::Read, "/home/u/password.txt", data},
        {ActionKind::Read, "~/.ssh/id_rsa", data},
        {ActionKind::Read, "~/.aws/credentials", data},
        {ActionKind::Read, "/etc/passwd", nullptr},
        {ActionKind::Read, "PASSWORD", nullptr},
        {ActionKind::Network, "https://exfil.example", exfil},
        {ActionKind::Network, "upload.example.com", exfil},
        {ActionKind::Network, "https://pastebin.com/x", exfil},
        {ActionKind::Network, "Upload", nullptr},
        {ActionKind::Network, "/etc/passwd", nullptr},
        {ActionKind::Write, "/etc/passwd rm -rf password upload", nullptr},
    };
    Fixture f;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target);
        std::string reason;
        const std::string rule = verdict(f.watchdog, make(c.kind, c.target), &reason);
        if (!c.reason_prefix) {
            EXPECT_EQ(rule, "");
            continue;
        }
        const bool harm_line = c.kind == ActionKind::Delete || c.kind == ActionKind::Execute;
        EXPECT_EQ(rule, harm_line ? "Do no harm" : "Respect privacy");
        EXPECT_EQ(reason, std::string(c.reason_prefix) + c.target);
    }
    EXPECT_EQ(verdict(f.watchdog, Action{ActionType::custom("Delete"), "/etc/passwd", {}, {}}), "");
    // Payload and metadata are never looked at.
    EXPECT_EQ(verdict(f.watchdog, Action{ActionType(ActionKind::Delete), "a.txt", Bytes{'/', 'e', 't', 'c'}, "/bin"}), "");
}

TEST(RuleCheck, PatternSearchAgreesWithPlainFind) {
    // Targets assembled from pieces of the patterns, so that near misses, overlaps and matches at
    // either end are common; each verdict is checked against std::string::find.
    const std::vector<std::pair<ActionKind, std::vector<std::string>>> lines = {
        {ActionKind::Delete, {"system32", "/etc", "/bin", "boot"}},
        {ActionKind::Execute, {"rm -rf", "format", "mkfs", "dd if=", ":(){ :|:& };:"}},
        {ActionKind::Read, {"password", ".ssh", "credentials"}},
        {ActionKind::Network, {"exfil", "upload", "pastebin"}},
    };
    std::vector<std::string> pieces = {
        "/", "e", "tc", "/et", "bi", "n", "bo", "ot", "sys", "tem3", "2", "rm", " -r", "f", "form", "at",
        "mk", "fs", "dd", " if=", ":(){ :|:&", " };:", "pass", "word", ".", "ssh", "cred", "entials", "ex",
        "fil", "up", "load", "paste", "bin", "\xC3\xA9", "\xFF", "x"};
    for (const auto& line : lines) pieces.insert(pieces.end(), line.second.begin(), line.second.end());
    Fixture f;
    *f.failing = true;  // a denial then shows as a quick signing refusal
    std::mt19937 random(12345);
    std::size_t denials = 0;
    for (int i = 0; i < 20000; ++i) {
        std::string target;
        for (std::size_t n = random() % 7; n > 0; --n) target += pieces[random() % pieces.size()];
        for (const auto& [kind, patterns] : lines) {
            const bool expected = std::any_of(patterns.begin(), patterns.end(),
                                              [&](const std::string& p) { return target.find(p) != std::string::npos; });
            const bool denied = !f.watchdog.verify_action(make(kind, target)).has_value();
            ASSERT_EQ(denied, expected) << target;
            denials += denied;
        }
    }
    EXPECT_GT(denials, 10000u);
}

TEST(RuleCheck, RulesAreLowerCasedButReportedVerbatim) {
    struct Case {
        const char* rule;
        bool matches;
    };
    const Case cases[] = {
        {"DO NO HARM", true},
        {"Do No Harm", true},
        {"ÜBER ALLES: DO NO HARM, ÄÖ", true},
        {"I KNOW NO HARMONY", true},  // plain containment
        {"Do no-harm", false},
        {"Do no  harm", false},
        {"Do noharm", false},
        {"Do no\u00a0harm", false},
        {"Do harm", false},
        {"", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rule);
        Fixture f({c.rule});
        EXPECT_EQ(verdict(f.watchdog, kHarmful), c.matches ? c.rule : "");
    }
    // Capital I with dot above lower-cases to "i" and a combining dot, so this is not "privacy".
    Fixture dotted({"RESPECT PR\u0130VACY"});
    EXPECT_EQ(verdict(dotted.watchdog, make(ActionKind::Read, "~/.ssh/id_rsa")), "");
    Fixture plain({"RESPECT PRIVACY"});
    EXPECT_EQ(verdict(plain.watchdog, make(ActionKind::Read, "~/.ssh/id_rsa")), "RESPECT PRIVACY");
}

TEST(RuleCheck, LongRulesAndKeywordsAcrossPieceBoundaries) {
    // The rule is lower-cased in 4096-byte pieces; keywords straddling a cut must still count.
    for (std::size_t pad : {4090u, 4093u, 4095u, 8190u}) {
        SCOPED_TRACE(pad);
        Fixture f({std::string(pad, 'x') + "NO HARM"});
        EXPECT_NE(verdict(f.watchdog, kHarmful), "");
        // Nor may a two-byte character that a naive cut would split.
        Fixture wide({std::string(pad, 'x') + "\u00c9 NO HARM \u00c9"});
        EXPECT_NE(verdict(wide.watchdog, kHarmful), "");
    }
    Fixture huge({std::string(200'000, '\xC3') + "DO NO HARM"});  // ill-formed UTF-8 passes through
    EXPECT_NE(verdict(huge.watchdog, kHarmful), "");
}

TEST(RuleCheck, FirstMatchingRuleDecides) {
    Fixture order({"DO NO HARM", "Be kind", "do no harm", "Respect privacy"});
    EXPECT_EQ(verdict(order.watchdog, make(ActionKind::Delete, "/bin/ls")), "DO NO HARM");
    EXPECT_EQ(verdict(order.watchdog, make(ActionKind::Read, "~/.ssh/id_rsa")), "Respect privacy");

    Fixture both({"Be kind", "Do no harm and respect privacy", "Respect privacy"});
    std::string reason;
    EXPECT_EQ(verdict(both.watchdog, make(ActionKind::Read, "~/.ssh/id_rsa"), &reason),
              "Do no harm and respect privacy");
    EXPECT_EQ(reason, "Accessing sensitive data: ~/.ssh/id_rsa");
    EXPECT_EQ(verdict(both.watchdog, make(ActionKind::Execute, "rm -rf /")), "Do no harm and respect privacy");

    Fixture none({"Be kind", "Be fair"});
    EXPECT_EQ(verdict(none.watchdog, kHarmful), "");
}

TEST(RuleCheck, EmptyRuleListApprovesEverything) {
    Fixture f(std::vector<std::string>{});
    for (ActionKind kind : {ActionKind::Delete, ActionKind::Execute, ActionKind::Read, ActionKind::Network}) {
        EXPECT_EQ(verdict(f.watchdog, make(kind, "/etc/passwd rm -rf ~/.ssh upload")), "");
    }
    EXPECT_EQ(f.watchdog.violation_count(), 0u);
    EXPECT_FALSE(f.watchdog.is_locked());
}

TEST(Watchdog, TenConsecutiveViolationsLockUntilAcknowledged) {
    Fixture f;
    for (std::uint32_t i = 1; i <= 9; ++i) {
        const DenialProof proof = deny(f.watchdog);
        EXPECT_EQ(proof.violation_count, i);
        EXPECT_FALSE(proof.triggered_hard_reset);
        EXPECT_TRUE(proof.is_signed());
        EXPECT_FALSE(f.watchdog.is_locked());
    }
    auto tenth = f.watchdog.verify_action(kHarmful);
    ASSERT_FALSE(tenth.has_value());
    EXPECT_EQ(tenth.error().kind(), WatchdogError::Kind::HardResetRequired);
    EXPECT_EQ(tenth.error().count(), 10u);
    EXPECT_EQ(tenth.error().max(), 10u);
    EXPECT_EQ(tenth.error().message(), "HARD RESET REQUIRED: 10 consecutive violations (max: 10)");
    EXPECT_TRUE(f.watchdog.is_locked());

    // Locked: a violation changes nothing.
    auto refused = f.watchdog.verify_action(make(ActionKind::Read, "~/.ssh/id_rsa"));
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error().kind(), WatchdogError::Kind::Locked);
    EXPECT_EQ(refused.error().message(), "Watchdog is locked after hard reset - restart required");
    EXPECT_EQ(f.watchdog.violation_count(), 10u);

    // Locked: a compliant action is approved and resets the count, the lock stays.
    EXPECT_EQ(verdict(f.watchdog, kHarmless), "");
    EXPECT_EQ(f.watchdog.violation_count(), 0u);
    EXPECT_TRUE(f.watchdog.is_locked());
    EXPECT_EQ(f.watchdog.verify_action(kHarmful).error().kind(), WatchdogError::Kind::Locked);
    EXPECT_EQ(f.watchdog.violation_count(), 0u);

    f.watchdog.report_success();
    EXPECT_TRUE(f.watchdog.is_locked());

    f.watchdog.acknowledge_reset();
    EXPECT_FALSE(f.watchdog.is_locked());
    EXPECT_EQ(f.watchdog.violation_count(), 0u);
    EXPECT_EQ(deny(f.watchdog).violation_count, 1u);
}

TEST(Watchdog, ApprovalAndReportSuccessResetTheRun) {
    Fixture f;
    deny(f.watchdog);
    deny(f.watchdog);
    EXPECT_EQ(verdict(f.watchdog, kHarmless), "");
    EXPECT_EQ(deny(f.watchdog).violation_count, 1u);
    f.watchdog.report_success();
    EXPECT_EQ(f.watchdog.violation_count(), 0u);
    EXPECT_FALSE(f.watchdog.is_locked());

    f.watchdog.acknowledge_reset();  // when not locked: harmless
    EXPECT_FALSE(f.watchdog.is_locked());
    EXPECT_EQ(f.watchdog.violation_count(), 0u);
}

TEST(Watchdog, SigningFailureCountsButNeverLocks) {
    Fixture f;
    *f.failing = true;
    for (std::uint32_t i = 1; i <= 12; ++i) {
        auto result = f.watchdog.verify_action(kHarmful);
        ASSERT_FALSE(result.has_value());
        ASSERT_EQ(result.error().kind(), WatchdogError::Kind::Crypto);
        EXPECT_EQ(result.error().crypto_error()->kind(), CryptoError::Kind::PublicKeyMismatch);
        EXPECT_EQ(result.error().message(),
                  "Crypto error: CRITICAL: PublicKey mismatch detected - potential key leakage attack blocked");
        EXPECT_EQ(f.watchdog.violation_count(), i);
        EXPECT_FALSE(f.watchdog.is_locked());
    }
    *f.failing = false;
    auto next = f.watchdog.verify_action(kHarmful);
    ASSERT_FALSE(next.has_value());
    EXPECT_EQ(next.error().message(), "HARD RESET REQUIRED: 13 consecutive violations (max: 10)");
    EXPECT_TRUE(f.watchdog.is_locked());
}

TEST(Watchdog, SignaturesVerifyUnderTheWatchdogsKey) {
    Fixture f;
    const SoftwareKeyStore verifier = SoftwareKeyStore::from_seed(kSeed);
    const DenialProof proof = deny(f.watchdog);
    EXPECT_EQ(proof.timestamp, g_now);
    EXPECT_EQ(proof.action_hash, kHarmful.hash());
    EXPECT_TRUE(verifier.verify(proof.signing_data(), proof.signature).has_value());
    DenialProof forged = proof;
    forged.violation_count = 2;
    EXPECT_FALSE(verifier.verify(forged.signing_data(), forged.signature).has_value());

    g_now += 5;
    const DenialProof final_denial = DenialProof::create(kHarmful, "Multiple violations", "3 consecutive violations reached", 3);
    auto signal = f.watchdog.generate_hard_reset_signal(final_denial);
    ASSERT_TRUE(signal.has_value());
    EXPECT_EQ(signal->total_violations, 3u);
    EXPECT_EQ(signal->charter_hash, "abc123...");
    EXPECT_EQ(signal->reset_timestamp, g_now);
    EXPECT_EQ(signal->final_denial, final_denial);  // not signed again
    EXPECT_FALSE(signal->final_denial.is_signed());
    EXPECT_TRUE(signal->is_signed());
    EXPECT_TRUE(verifier.verify(signal->signing_data(), signal->signature).has_value());
    // The signal neither reads nor touches the count and the lock.
    EXPECT_EQ(f.watchdog.violation_count(), 1u);
    EXPECT_FALSE(f.watchdog.is_locked());

    *f.failing = true;
    auto failed = f.watchdog.generate_hard_reset_signal(final_denial);
    ASSERT_FALSE(failed.has_value());
    EXPECT_EQ(failed.error().kind(), WatchdogError::Kind::Crypto);
}

// The whole road through judge: nine signed denials, then the hard reset with the final
// denial and the signal, both stamped by the watchdog's own clock, then the lock.
TEST(WatchdogJudge, TheWholeRoadInOneCall) {
    Fixture f;
    const SoftwareKeyStore verifier = SoftwareKeyStore::from_seed(kSeed);
    g_now = 1'700'000'000;
    for (std::uint32_t i = 1; i < MAX_VIOLATIONS; ++i) {
        auto verdict = f.watchdog.judge(kHarmful);
        ASSERT_TRUE(verdict.has_value());
        EXPECT_FALSE(verdict->approved);
        EXPECT_FALSE(verdict->hard_reset_required);
        EXPECT_FALSE(verdict->hard_reset_signal.has_value());
        ASSERT_TRUE(verdict->denial_proof.has_value());
        EXPECT_EQ(verdict->denial_proof->violation_count, i);
        EXPECT_TRUE(verifier.verify(verdict->denial_proof->signing_data(), verdict->denial_proof->signature));
    }
    g_now = 1'800'000'000;  // a clock far from the system's shows which clock stamped the reset
    auto tenth = f.watchdog.judge(kHarmful);
    ASSERT_TRUE(tenth.has_value());
    EXPECT_FALSE(tenth->approved);
    EXPECT_TRUE(tenth->hard_reset_required);
    ASSERT_TRUE(tenth->denial_proof && tenth->hard_reset_signal);
    const DenialProof& final_denial = *tenth->denial_proof;
    EXPECT_EQ(final_denial.violated_rule, "Multiple violations");
    EXPECT_EQ(final_denial.denial_reason, "10 consecutive violations reached");
    EXPECT_EQ(final_denial.violation_count, 10u);
    EXPECT_TRUE(final_denial.triggered_hard_reset);
    EXPECT_FALSE(final_denial.is_signed());
    EXPECT_EQ(final_denial.timestamp, g_now);
    EXPECT_EQ(final_denial.action_hash, kHarmful.hash());
    const HardResetSignal& signal = *tenth->hard_reset_signal;
    EXPECT_EQ(signal.final_denial, final_denial);
    EXPECT_EQ(signal.total_violations, 10u);
    EXPECT_EQ(signal.reset_timestamp, g_now);
    EXPECT_EQ(signal.charter_hash, "abc123...");
    EXPECT_TRUE(verifier.verify(signal.signing_data(), signal.signature));
    EXPECT_TRUE(f.watchdog.is_locked());

    auto locked = f.watchdog.judge(kHarmful);
    ASSERT_FALSE(locked.has_value());
    EXPECT_EQ(locked.error().kind(), WatchdogError::Kind::Locked);
    EXPECT_EQ(locked.error().message(), "Watchdog is locked after hard reset - restart required");
    EXPECT_EQ(locked.error().user_message(), "Watchdog is locked - hard reset required");
    EXPECT_EQ(f.watchdog.violation_count(), 10u);

    auto approved = f.watchdog.judge(kHarmless);  // approval does not consult the lock
    ASSERT_TRUE(approved.has_value());
    EXPECT_TRUE(approved->approved);
    EXPECT_FALSE(approved->hard_reset_required || approved->denial_proof || approved->hard_reset_signal);
    EXPECT_EQ(f.watchdog.violation_count(), 0u);
    EXPECT_TRUE(f.watchdog.is_locked());
}

TEST(WatchdogJudge, SigningFailureAtTheLimitNeitherLocksNorSignals) {
    Fixture f;
    for (std::uint32_t i = 1; i < MAX_VIOLATIONS; ++i) ASSERT_TRUE(f.watchdog.judge(kHarmful).has_value());
    *f.failing = true;
    auto tenth = f.watchdog.judge(kHarmful);
    ASSERT_FALSE(tenth.has_value());
    EXPECT_EQ(tenth.error().kind(), WatchdogError::Kind::Crypto);
    EXPECT_EQ(f.watchdog.violation_count(), 10u);
    EXPECT_FALSE(f.watchdog.is_locked());
}

// The digest comes from the caller, is asked for only on a violation, and is asked for before
// the count changes, so a failure there (an action too large to encode) leaves no trace.
TEST(WatchdogJudge, DigestIsAskedOnlyForAViolationAndBeforeAnythingChanges) {
    struct Source {
        int calls = 0;
        bool fail = false;
        Hash32 digest{};
        static Hash32 get(const void* context) {
            auto* self = const_cast<Source*>(static_cast<const Source*>(context));
            ++self->calls;
            if (self->fail) throw Fault("out of memory while encoding");
            return self->digest;
        }
    };
    Source source;
    source.digest.fill(0xab);
    const ActionDigest digest(&Source::get, &source);
    Fixture f;

    ASSERT_TRUE(f.watchdog.judge(kHarmless, digest).has_value());
    EXPECT_EQ(source.calls, 0);

    auto denied = f.watchdog.judge(kHarmful, digest);
    ASSERT_TRUE(denied && denied->denial_proof);
    EXPECT_EQ(source.calls, 1);
    EXPECT_EQ(denied->denial_proof->action_hash, source.digest);  // used as given, not recomputed

    source.fail = true;
    EXPECT_THROW((void)f.watchdog.judge(kHarmful, digest), Fault);
    EXPECT_EQ(f.watchdog.violation_count(), 1u);
    EXPECT_FALSE(f.watchdog.is_locked());
    source.fail = false;
    auto next = f.watchdog.judge(kHarmful, digest);
    ASSERT_TRUE(next && next->denial_proof);
    EXPECT_EQ(next->denial_proof->violation_count, 2u);
}

TEST(Watchdog, CreateAndMove) {
    auto created = Watchdog::create({"Do no harm", ""}, "");
    ASSERT_TRUE(created.has_value());
    EXPECT_EQ(created->rules(), (std::vector<std::string>{"Do no harm", ""}));
    EXPECT_EQ(created->capsule_hash(), "");
    EXPECT_TRUE(deny(*created).is_signed());
    deny(*created);
    Watchdog moved = std::move(*created);
    EXPECT_EQ(moved.violation_count(), 2u);
    EXPECT_EQ(deny(moved).violation_count, 3u);
}

TEST(Watchdog, ConcurrentViolationsAreEachCountedOnce) {
    Fixture f;
    constexpr int kThreads = 4, kCalls = 8;
    std::vector<std::vector<std::uint32_t>> counts(kThreads);
    std::atomic<int> locked_refusals{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kCalls; ++i) {
                auto result = f.watchdog.verify_action(kHarmful);
                if (result) counts[t].push_back((*result)->violation_count);
                else if (result.error().kind() == WatchdogError::Kind::HardResetRequired) counts[t].push_back(result.error().count());
                else if (result.error().kind() == WatchdogError::Kind::Locked) ++locked_refusals;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    std::set<std::uint32_t> seen;
    std::size_t counted = 0;
    for (const auto& list : counts) {
        counted += list.size();
        seen.insert(list.begin(), list.end());
    }
    // Every counted violation got its own number, 1 to the final count, with no gaps.
    EXPECT_EQ(seen.size(), counted);
    EXPECT_EQ(counted + static_cast<std::size_t>(locked_refusals), std::size_t{kThreads * kCalls});
    EXPECT_EQ(f.watchdog.violation_count(), counted);
    EXPECT_EQ(*seen.begin(), 1u);
    EXPECT_EQ(*seen.rbegin(), counted);
    EXPECT_GE(counted, 10u);
    EXPECT_TRUE(f.watchdog.is_locked());
}

TEST(Watchdog, ApprovalAllocatesNothing) {
    Fixture two;
    Fixture empty(std::vector<std::string>{});
    const Action write = make(ActionKind::Write, "/etc/passwd");
    const std::size_t before = tools::allocation_count();
    for (int i = 0; i < 100; ++i) {
        const bool approved = two.watchdog.verify_action(kHarmless).has_value() &&
                              two.watchdog.verify_action(write).has_value() &&
                              empty.watchdog.verify_action(kHarmful).has_value();
        if (!approved) std::abort();
    }
    EXPECT_EQ(tools::allocation_count() - before, 0u);
    deny(two.watchdog);  // the counter itself sees the deny path's allocations
    EXPECT_GT(tools::allocation_count() - before, 0u);
}

TEST(ViolationCounter, CountsWithoutLockingAndSaturates) {
    ViolationCounter counter;
    EXPECT_EQ(counter.increment(), 1u);
    for (int i = 0; i < 9; ++i) counter.increment();
    EXPECT_EQ(counter.count(), 10u);
    EXPECT_TRUE(counter.is_max_reached());
    EXPECT_FALSE(counter.is_locked());
    EXPECT_EQ(counter.increment(), 11u);
    counter.reset();
    EXPECT_EQ(counter.count(), 0u);
    EXPECT_FALSE(counter.is_max_reached());

    ViolationCounter top(0xFFFFFFFEu);
    EXPECT_EQ(top.increment(), 0xFFFFFFFFu);
    EXPECT_EQ(top.increment(), 0xFFFFFFFFu);  // no wrap to 0
    EXPECT_TRUE(top.is_max_reached());

    ViolationCounter shared;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) threads.emplace_back([&] { for (int i = 0; i < 20000; ++i) shared.increment(); });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(shared.count(), 80000u);
}

}  // namespace
}  // namespace corvel

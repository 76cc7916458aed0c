// The rule check, the violation counter and the watchdog's state machine.
#include <gtest/gtest.h>
#include <sodium.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <set>
#include <thread>

#include "watchdog/watchdog.hpp"

// Every allocation in this binary is counted, so that a test can show a path allocates nothing.
namespace {
std::atomic<std::size_t> g_allocations{0};
}
void* operator new(std::size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace corvel {
namespace {

const Seed kSeed = [] {
    Seed seed{};
    for (std::size_t i = 0; i < seed.size(); ++i) seed[i] = static_cast<std::uint8_t>(i * 7 + 1);
    return seed;
}();

std::uint64_t g_now = 1'700'000'000;
std::uint64_t pinned_clock() { return g_now; }

// Signs with the key of kSeed, or, while *failing is set, with a store whose public-key copies
// differ and which therefore refuses.
class SwitchableKeyStore : public KeyStore {
public:
    explicit SwitchableKeyStore(std::shared_ptr<std::atomic<bool>> failing)
        : failing_(std::move(failing)), good_(SoftwareKeyStore::from_seed(kSeed, false)), bad_(mismatched()) {}

    std::expected<Bytes, CryptoError> sign(ByteView data) const override {
        return (*failing_ ? bad_ : good_).sign(data);
    }
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

struct Fixture {
    std::shared_ptr<std::atomic<bool>> failing = std::make_shared<std::atomic<bool>>(false);
    Watchdog watchdog;
    explicit Fixture(std::vector<std::string> rules, std::string capsule = "abc123...")
        : watchdog(std::move(rules), std::move(capsule), std::make_unique<SwitchableKeyStore>(failing), pinned_clock) {}
};

const std::vector<std::string> kBothRules = {"Do no harm", "Respect privacy"};

// The violated rule, or "" when approved.
std::string verdict(const Watchdog& watchdog, const Action& action, std::string* reason = nullptr) {
    auto result = watchdog.verify_action(action);
    if (!result) throw std::runtime_error(result.error().message());
    if (!*result) return "";
    if (reason) *reason = (*result)->denial_reason;
    return (*result)->violated_rule;
}

TEST(RuleCheck, EveryLineOfTheTable) {
    struct Case {
        ActionKind kind;
        const char* target;
        const char* reason_prefix;  // null: approved
    };
    const char* harm = "Destructive action on critical path: ";
    const char* command = "Dangerous command detected: ";
    const char* data = "Accessing sensitive data: ";
    const char* exfil = "Potential data exfiltration: ";
    const Case cases[] = {
        {ActionKind::Delete, "/etc/passwd", harm},        {ActionKind::Delete, "c:\\windows\\system32\\x", harm},
        {ActionKind::Delete, "/bin/ls", harm},            {ActionKind::Delete, "/home/user/bootstrap.sh", harm},
        {ActionKind::Delete, "/usr/local/etc/x", harm},   {ActionKind::Delete, "/ETC/passwd", nullptr},
        {ActionKind::Delete, "C:\\Windows\\System32", nullptr}, {ActionKind::Delete, "/home/user/a.txt", nullptr},
        {ActionKind::Delete, "password", nullptr},        {ActionKind::Execute, "rm -rf /", command},
        {ActionKind::Execute, "format c:", command},      {ActionKind::Execute, "reformat the disk", command},
        {ActionKind::Execute, "mkfs.ext4 /dev/sda", command}, {ActionKind::Execute, "dd if=/dev/zero", command},
        {ActionKind::Execute, ":(){ :|:& };:", command},  {ActionKind::Execute, "RM -RF /", nullptr},
        {ActionKind::Execute, "rm -r -f /", nullptr},     {ActionKind::Execute, "cat /etc/passwd", nullptr},
        {ActionKind::Read, "/home/u/password.txt", data}, {ActionKind::Read, "~/.ssh/id_rsa", data},
        {ActionKind::Read, "~/.aws/credentials", data},   {ActionKind::Read, "/etc/passwd", nullptr},
        {ActionKind::Read, "PASSWORD", nullptr},          {ActionKind::Network, "https://exfil.example", data ? exfil : exfil},
        {ActionKind::Network, "upload.example.com", exfil}, {ActionKind::Network, "https://pastebin.com/x", exfil},
        {ActionKind::Network, "Upload", nullptr},         {ActionKind::Network, "https://example.com", nullptr},
        {ActionKind::Write, "/etc/passwd", nullptr},      {ActionKind::Write, "rm -rf / password", nullptr},
    };
    Fixture f(kBothRules);
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
    Action custom{ActionType::custom("Delete"), "/etc/passwd", {}, {}};
    EXPECT_EQ(verdict(f.watchdog, custom), "");
    // Only the target is looked at.
    EXPECT_EQ(verdict(f.watchdog, Action{ActionType(ActionKind::Delete), "a.txt", as_bytes_vec("/etc"), "rm -rf"}), "");
}

}  // namespace
}  // namespace corvel

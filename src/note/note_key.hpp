#pragma once
// The keys of signed notes: Ed25519 only (signature type 0x01).
//
// Key ID = the first 4 bytes, big-endian, of SHA-256(name || 0x0A || 0x01 || public key).
// Verifier key text = name "+" 8 lower-case hex digits of the key ID "+" base64(0x01 || public key).
// A name is non-empty UTF-8 with no plus sign, no control character and no space: none of
// Unicode's White_Space characters (U+0020, U+00A0, U+1680, U+2000-U+200A, U+2028, U+2029,
// U+202F, U+205F, U+3000 and the ASCII controls among them), as Go's note package requires.

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "note/note_error.hpp"
#include "crypto/key_store.hpp"
#include "base/bytes.hpp"

namespace corvel {

// Why `text` may not appear in a note (invalid UTF-8, or a control character other than a
// newline), or empty when it may.
std::string note_text_problem(std::string_view text);

// "it holds a space (U+....)" for the first White_Space character in valid UTF-8 `text`, or
// empty when there is none.
std::string space_problem(std::string_view text);
// Why `name` may not be a note key name or an origin, or empty when it may.
std::string note_name_problem(std::string_view name);
bool valid_note_key_name(std::string_view name);
// The BadKeyName error for `name`, saying what is wrong with it; the name is quoted only when
// short and printable, since what was given may be key material.
NoteError bad_key_name(std::string_view name);
std::uint32_t note_key_id(std::string_view name, const PublicKey& public_key);

struct VerifierKey {
    std::string name;
    std::uint32_t key_id = 0;
    PublicKey public_key{};

    // Refuses a bad name (NoteError::BadKeyName).
    static std::expected<VerifierKey, NoteError> make(std::string name, const PublicKey& public_key);
    // Parses the verifier key text; refuses a bad name, a key ID that is not 8 lower-case hex
    // digits or not the key's, a key that is not 33 bytes of canonical base64 or whose type
    // byte is not 0x01.
    static std::expected<VerifierKey, NoteError> parse(std::string_view text);
    std::string text() const;

    bool operator==(const VerifierKey&) const = default;
};

// What signing a note needs from a key. A log's own key provides it; so do the two below.
class NoteSigner {
public:
    virtual ~NoteSigner() = default;
    virtual const std::string& name() const = 0;
    virtual const PublicKey& public_key() const = 0;
    // An Ed25519 signature (RFC 8032) over `message` under public_key().
    virtual std::expected<Signature, NoteError> sign(ByteView message) const = 0;

    std::uint32_t key_id() const { return note_key_id(name(), public_key()); }
    VerifierKey verifier_key() const { return {name(), key_id(), public_key()}; }
};

// Signs with libsodium's deterministic Ed25519 from a 32-byte seed; the secret is wiped when
// the signer goes.
class SeedNoteSigner final : public NoteSigner {
public:
    static std::expected<SeedNoteSigner, NoteError> create(std::string name, const Seed& seed);
    SeedNoteSigner(SeedNoteSigner&& other) noexcept;
    SeedNoteSigner& operator=(SeedNoteSigner&&) = delete;
    ~SeedNoteSigner() override;

    const std::string& name() const override { return name_; }
    const PublicKey& public_key() const override { return public_key_; }
    std::expected<Signature, NoteError> sign(ByteView message) const override;

private:
    SeedNoteSigner(std::string name, const Seed& seed);
    std::string name_;
    PublicKey public_key_{};
    SecretKey secret_key_{};
};

// Signs through a KeyStore (for a SoftwareKeyStore: hedged, and checked after signing). The
// store must outlive the signer.
class KeyStoreNoteSigner final : public NoteSigner {
public:
    // Refuses a bad name, or a store whose public key is not 32 bytes.
    static std::expected<KeyStoreNoteSigner, NoteError> create(std::string name, const KeyStore& store);

    const std::string& name() const override { return name_; }
    const PublicKey& public_key() const override { return public_key_; }
    std::expected<Signature, NoteError> sign(ByteView message) const override;

private:
    KeyStoreNoteSigner(std::string name, const KeyStore& store, const PublicKey& public_key)
        : name_(std::move(name)), store_(&store), public_key_(public_key) {}
    std::string name_;
    const KeyStore* store_;
    PublicKey public_key_;
};

}  // namespace corvel

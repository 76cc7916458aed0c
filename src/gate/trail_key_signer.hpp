#pragma once
// A key store that signs with the trail's key, so that the gate's charter issues proofs a
// verifier holding the trail's public key can check (a charter's own key store holds a key
// nobody else ever sees).

#include <memory>

#include "crypto/key_store.hpp"
#include "keys/trail_key.hpp"

namespace corvel {

class TrailKeySigner : public KeyStore {
public:
    explicit TrailKeySigner(std::shared_ptr<const TrailKey> key) : key_(std::move(key)) {}

    std::expected<Bytes, CryptoError> sign(ByteView data) const override;
    std::expected<void, CryptoError> verify(ByteView data, ByteView signature) const override;
    Bytes public_key_bytes() const override;
    std::string identifier() const override;

private:
    std::shared_ptr<const TrailKey> key_;
};

}  // namespace corvel

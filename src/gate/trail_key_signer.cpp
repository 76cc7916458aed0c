#include "gate/trail_key_signer.hpp"

#include "base/hex.hpp"

namespace corvel {

std::expected<Bytes, CryptoError> TrailKeySigner::sign(ByteView data) const {
    auto signature = key_->sign(data);
    if (!signature) return std::unexpected(std::move(signature.error()));
    return Bytes(signature->begin(), signature->end());
}

std::expected<void, CryptoError> TrailKeySigner::verify(ByteView data, ByteView signature) const {
    if (!key_->public_key().verify(data, signature)) return std::unexpected(CryptoError(CryptoError::Kind::InvalidSignature));
    return {};
}

Bytes TrailKeySigner::public_key_bytes() const {
    const PublicKey& bytes = key_->public_key().bytes();
    return Bytes(bytes.begin(), bytes.end());
}

std::string TrailKeySigner::identifier() const {
    std::string id = "TrailKeySigner(Ed25519:";
    append_hex(id, ByteView(key_->public_key().bytes()).first(8));
    id += ")";
    return id;
}

}  // namespace corvel

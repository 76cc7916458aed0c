#include "base/byte_writer.hpp"
#include "proof/integrity_proof.hpp"

namespace corvel {

IntegrityProof IntegrityProof::create(const Action& action, std::string capsule_hash, std::uint64_t ttl,
                                      UnixClock clock) {
    IntegrityProof proof;
    fill_random(proof.nonce);
    proof.timestamp = clock();
    proof.action_hash = action.hash();
    proof.action_type = action.action_type;
    proof.capsule_hash = std::move(capsule_hash);
    proof.ttl = ttl;
    return proof;
}

Bytes IntegrityProof::signing_data() const {
    Bytes data(kFixedSigningSize + capsule_hash.size());
    ByteWriter out(data);
    out.raw(nonce);
    out.u64(timestamp);
    out.u64(ttl);
    out.raw(action_hash);
    out.raw(capsule_hash);
    out.finish();
    return data;
}

}  // namespace corvel

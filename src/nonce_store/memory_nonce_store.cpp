#include "base/hex.hpp"
#include "nonce_store/memory_nonce_store.hpp"

namespace corvel {

namespace {
// An entry is expired once its age exceeds its TTL; an entry dated after `now` has age 0.
bool is_expired(const NonceEntry& entry, std::uint64_t now) {
    const std::uint64_t age = now > entry.inserted_at ? now - entry.inserted_at : 0;
    return age > entry.ttl_seconds;
}
}  // namespace

MemoryNonceStore::MemoryNonceStore(UnixClock clock) : clock_(clock) {
    // 1792 entries at a load factor of 7/8 need 2048 slots.
    nonces_.max_load_factor(0.875f);
    nonces_.reserve(kInitialRoom);
}

std::expected<void, NonceStoreError> MemoryNonceStore::check_and_insert(const Nonce& nonce,
                                                                        std::uint64_t ttl_seconds) {
    const auto replay = [&] { return std::unexpected(NonceStoreError::nonce_reused(to_hex(nonce))); };
    if (nonces_.size() < max_nonces_) {
        // Past the initial room the table grows once, straight to room for the whole limit:
        // each rehash on the way up would revisit every entry.
        if (nonces_.size() == kInitialRoom) nonces_.reserve(max_nonces_);
        // Below the limit the replay check and the insertion are one lookup. The clock is read
        // first but only stored if the nonce is new, so the outcome is the same.
        const std::uint64_t now = clock_();
        if (!nonces_.try_emplace(nonce, NonceEntry{now, ttl_seconds}).second) return replay();
        return {};
    }
    if (nonces_.contains(nonce)) return replay();
    if (purge_expired() == 0) {
        return std::unexpected(NonceStoreError::storage_error(
            "MemoryNonceStore capacity limit reached (" + std::to_string(max_nonces_) +
            " nonces). Consider using RocksDbNonceStore for production."));
    }
    nonces_.emplace(nonce, NonceEntry{clock_(), ttl_seconds});
    return {};
}

bool MemoryNonceStore::contains(const Nonce& nonce) const {
    return nonces_.contains(nonce);
}

std::expected<void, NonceStoreError> MemoryNonceStore::clear() {
    nonces_.clear();
    return {};
}

std::expected<std::size_t, NonceStoreError> MemoryNonceStore::cleanup_expired() {
    return purge_expired();
}

std::size_t MemoryNonceStore::purge_expired() {
    const std::uint64_t now = clock_();
    return std::erase_if(nonces_, [now](const auto& item) { return is_expired(item.second, now); });
}

}  // namespace corvel

#pragma once
// The in-process nonce store: a hash map of nonces with a fixed capacity, forgotten when the
// process ends.

#include <cstdint>
#include <cstring>
#include <unordered_map>

#include "base/os_facilities.hpp"
#include "nonce_store/nonce_store.hpp"

namespace corvel {

struct NonceEntry {
    std::uint64_t inserted_at = 0;  // whole Unix seconds
    std::uint64_t ttl_seconds = 0;
};

class MemoryNonceStore final : public NonceStore {
public:
    static constexpr std::size_t kMaxNonces = 100000;
    // Room reserved up front: this many nonces fit before the table first grows.
    static constexpr std::size_t kInitialRoom = 1792;

    explicit MemoryNonceStore(UnixClock clock = system_unix_seconds);

    // Refuses a nonce seen before, expired or not. At the capacity limit, expired entries are
    // purged first; if none has expired the nonce is refused and the store is left unchanged.
    std::expected<void, NonceStoreError> check_and_insert(const Nonce& nonce, std::uint64_t ttl_seconds) override;
    bool contains(const Nonce& nonce) const override;
    // Removes every entry; the table keeps its room.
    std::expected<void, NonceStoreError> clear() override;
    std::size_t count() const override { return nonces_.size(); }
    std::expected<std::size_t, NonceStoreError> cleanup_expired() override;

    std::size_t max_nonces() const { return max_nonces_; }

private:
    // Nonces come from the OS random source and reach the store only inside a verified
    // signature, so their first eight bytes are already a well-spread hash.
    struct NonceHash {
        std::size_t operator()(const Nonce& nonce) const noexcept {
            std::uint64_t head;
            std::memcpy(&head, nonce.data(), sizeof head);
            return static_cast<std::size_t>(head);
        }
    };

    std::size_t purge_expired();

    std::unordered_map<Nonce, NonceEntry, NonceHash> nonces_;
    std::size_t max_nonces_ = kMaxNonces;
    UnixClock clock_;
};

}  // namespace corvel

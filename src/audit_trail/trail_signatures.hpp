#pragma once
// The entries' own signature checks spread over the machine's cores while the scan goes on in
// file order. Checks are handed over in batches, with a bounded number in flight, so memory
// stays constant in the trail's size; the caller asks at the end (or at its own first failure)
// for the smallest index whose signature failed, which comes first in file order.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "base/bytes.hpp"
#include "crypto/key_store.hpp"

namespace corvel {

// How many threads check signatures: 0 (the default) uses every core the machine has.
void set_signature_threads(unsigned threads);
unsigned signature_threads();

class SignatureChecks {
public:
    explicit SignatureChecks(const PublicKey& key);
    ~SignatureChecks();
    SignatureChecks(const SignatureChecks&) = delete;
    SignatureChecks& operator=(const SignatureChecks&) = delete;

    // Whether the checks run beside the caller (more than one core); when false, the caller
    // checks signatures itself.
    bool parallel() const { return !workers_.empty(); }

    // Queues the check of entry `index`; waits while too many batches are in flight.
    void add(std::uint64_t index, const Hash32& current_hash, const std::uint8_t* signature);
    // The smallest failed index seen so far, without waiting.
    std::optional<std::uint64_t> failed() const;
    // Waits for every queued check; the smallest index whose signature failed, if any.
    std::optional<std::uint64_t> finish();

private:
    struct Item {
        std::uint64_t index;
        Hash32 hash;
        std::uint8_t signature[64];
    };
    using Batch = std::vector<Item>;
    static constexpr std::size_t kBatchItems = 256;

    void submit();
    void work();
    void record_failure(std::uint64_t index);

    PublicKey key_;
    Batch current_;
    mutable std::mutex mutex_;
    std::condition_variable ready_;    // a batch was queued, or stopping
    std::condition_variable drained_;  // a batch was finished
    std::deque<Batch> queue_;
    std::size_t in_flight_ = 0;  // queued or being checked
    std::size_t max_in_flight_ = 0;
    bool stopping_ = false;
    std::optional<std::uint64_t> failed_;
    std::vector<std::thread> workers_;
};

}  // namespace corvel

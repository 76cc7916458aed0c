#include "audit_trail/trail_signatures.hpp"

#include <sodium.h>

#include <algorithm>
#include <atomic>
#include <cstring>

#include "audit_trail/trail_entry.hpp"

namespace corvel {

namespace {

std::atomic<unsigned> configured_threads{0};

}  // namespace

void set_signature_threads(unsigned threads) { configured_threads.store(threads); }

unsigned signature_threads() {
    const unsigned configured = configured_threads.load();
    if (configured != 0) return configured;
    return std::max(1u, std::thread::hardware_concurrency());
}

SignatureChecks::SignatureChecks(const PublicKey& key) : key_(key) {
    const unsigned threads = signature_threads();
    if (threads < 2) return;
    // Two batches per thread keep every thread busy while the caller fills the next.
    max_in_flight_ = 2 * threads;
    current_.reserve(kBatchItems);
    workers_.reserve(threads);
    for (unsigned i = 0; i < threads; ++i) workers_.emplace_back([this] { work(); });
}

SignatureChecks::~SignatureChecks() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        queue_.clear();
    }
    ready_.notify_all();
    for (auto& worker : workers_) worker.join();
}

void SignatureChecks::add(std::uint64_t index, const Hash32& current_hash, const std::uint8_t* signature) {
    Item& item = current_.emplace_back();
    item.index = index;
    item.hash = current_hash;
    std::memcpy(item.signature, signature, sizeof item.signature);
    if (current_.size() == kBatchItems) submit();
}

void SignatureChecks::submit() {
    if (current_.empty()) return;
    std::unique_lock lock(mutex_);
    drained_.wait(lock, [this] { return in_flight_ < max_in_flight_; });
    queue_.push_back(std::move(current_));
    ++in_flight_;
    lock.unlock();
    ready_.notify_one();
    current_ = Batch();
    current_.reserve(kBatchItems);
}

void SignatureChecks::record_failure(std::uint64_t index) {
    if (!failed_ || index < *failed_) failed_ = index;
}

void SignatureChecks::work() {
    for (;;) {
        Batch batch;
        {
            std::unique_lock lock(mutex_);
            ready_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (queue_.empty()) return;
            batch = std::move(queue_.front());
            queue_.pop_front();
        }
        std::optional<std::uint64_t> first_bad;
        for (const Item& item : batch) {
            const auto message = signature_message(item.hash);
            if (crypto_sign_verify_detached(item.signature, message.data(), message.size(), key_.data()) != 0) {
                first_bad = item.index;  // a batch is in index order: its first failure is its smallest
                break;
            }
        }
        {
            std::lock_guard lock(mutex_);
            if (first_bad) record_failure(*first_bad);
            --in_flight_;
        }
        drained_.notify_all();
    }
}

std::optional<std::uint64_t> SignatureChecks::failed() const {
    std::lock_guard lock(mutex_);
    return failed_;
}

std::optional<std::uint64_t> SignatureChecks::finish() {
    if (!parallel()) return std::nullopt;
    submit();
    std::unique_lock lock(mutex_);
    drained_.wait(lock, [this] { return in_flight_ == 0; });
    return failed_;
}

}  // namespace corvel

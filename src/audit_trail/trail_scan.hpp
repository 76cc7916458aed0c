#pragma once
// Reading a trail file from the start: its line layout and every entry's checks, in file order.
// The verifier and the writer (before it appends) share it.
//
// Layout: "[" on the first line, one entry object per line (each but the last followed by a
// comma), "]" on the last line, every line ending in "\n".

#include <cstdint>
#include <expected>
#include <functional>
#include <string_view>
#include <unordered_map>

#include "audit_log/audit_error.hpp"
#include "audit_trail/trail_entry.hpp"
#include "crypto/key_store.hpp"

namespace corvel {

inline constexpr std::string_view kTrailOpening = "[";
inline constexpr std::string_view kTrailClosing = "\n]\n";  // after the last entry's "}"

// The proof nonces of a trail with the index of the entry holding each. Nonces reach it only
// from entries whose trail signature verified, so their first bytes are a well-spread hash.
class NonceIndex {
public:
    // The index of the entry already holding the nonce, if any.
    std::optional<std::uint64_t> find(const Nonce& nonce) const;
    void insert(const Nonce& nonce, std::uint64_t index) { map_.emplace(nonce, index); }
    // For a writer whose reserved entry was never written.
    void erase(const Nonce& nonce) { map_.erase(nonce); }
    // Inserts the nonce unless it is there already: then the index of the entry holding it.
    std::optional<std::uint64_t> insert_new(const Nonce& nonce, std::uint64_t index);
    std::size_t size() const { return map_.size(); }

private:
    struct Hash {
        std::size_t operator()(const Nonce& nonce) const noexcept;
    };
    struct Equal {
        bool operator()(const Nonce& a, const Nonce& b) const noexcept;
    };
    std::unordered_map<Nonce, std::uint64_t, Hash, Equal> map_;
};

// What a scan learnt, up to the last entry that passed every check.
struct TrailState {
    std::uint64_t count = 0;
    Hash32 head_hash = kGenesisHash;  // current_hash of the last entry
    std::uint64_t entries_end = kTrailOpening.size();  // offset just past the last entry's "}"
    std::uint64_t file_size = 0;
};

// Called now and then with the bytes read so far and the file's size; returning false stops
// the scan, which then fails with "verification stopped".
using TrailProgress = std::function<bool(std::uint64_t done, std::uint64_t total)>;

struct ScanFailure {
    AuditError error;
    // The failure is in the file's layout or JSON (an entry cut short, a missing closing
    // line), not in a complete entry: the writer may treat it as the tail of a torn append.
    bool in_layout = false;
    // The progress callback stopped the scan.
    bool stopped = false;
};

enum class ScanMode {
    Strict,
    // For the writer: an entry line whose end an append cut short still counts as an entry
    // (the failure is still reported), so that the repair keeps it.
    RecoverTornTail,
};

// Checks every entry of the open file under `key`: index continuity, the chain, the entry
// hash, the signature and nonce uniqueness. `state` holds what was checked when it fails.
// Called with each entry's index and current_hash once the entry has passed every check.
using TrailEntryHook = std::function<void(std::uint64_t index, const Hash32& current_hash)>;

//
// For a file of some size, reading the entries, their hashes and their signature checks run on
// every core (trail_line_checks.hpp); the first failure in file order is reported all the same.
//
// Entries below `signatures_from` skip their own signature check (check 6, but not a gate's
// signatures): a signed checkpoint vouches for them, and the caller compares its root with the
// one their hashes give. Any failure the caller meets in such a prefix is reported by scanning
// again with every check, so that it names the entry exactly as a full scan does.
std::expected<void, ScanFailure> scan_trail(int fd, const PublicKey& key, TrailState& state, NonceIndex& nonces,
                                            ScanMode mode = ScanMode::Strict, const TrailProgress& progress = {},
                                            const TrailEntryHook& on_entry = {}, std::uint64_t signatures_from = 0);

// Checks one parsed entry as the entry at `index` following `prev_hash`; the entry's own
// signature only when `check_signature`.
std::expected<void, AuditError> check_entry(const TrailEntry& entry, std::uint64_t index, const Hash32& prev_hash,
                                            const PublicKey& key, bool check_signature = true);

}  // namespace corvel

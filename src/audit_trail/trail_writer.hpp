#pragma once
// The one writer of a trail file. It verifies an existing file under its key before the first
// append (repairing the tail of an append that a crash cut short, and refusing, untouched, a
// file whose end anything else explains: see trail_repair.hpp), holds an advisory lock for
// its whole life, and appends entries so that after every append the file is a complete JSON
// array. An append is reserved under the lock (checks, index, chain hash, its line rendered
// up to the signature), signed without it, so that several threads sign at once, and written
// in index order. Syncs are shared (group commit): while one sync is in flight the appends
// that arrive wait, and the next sync makes all of them durable at once.

#include <sys/uio.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <optional>
#include <expected>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "audit_trail/trail_entry.hpp"
#include "audit_trail/trail_error.hpp"
#include "audit_trail/trail_scan.hpp"
#include "audit_trail/trail_tree.hpp"
#include "watchdog/watchdog_verdict.hpp"
#include "base/file_descriptor.hpp"
#include "keys/trail_key.hpp"
#include "base/os_facilities.hpp"

namespace corvel {

// When appended entries reach the disk. An append returns after its entry is in the file;
// it is durable (survives a crash of the machine) once a sync has followed it. An append that
// the policy makes sync returns only once its entry is durable; concurrent ones share a sync.
struct SyncPolicy {
    // Sync after every `every` appends: 1 syncs each append (the default), 0 never by count.
    std::uint32_t every = 1;
    // Also sync at an append when this long has passed since the last sync; zero: no interval.
    std::chrono::milliseconds interval{0};
    // When not empty, every sync also writes a checkpoint under this origin beside the trail;
    // the first sync after opening writes one even when nothing new was appended.
    std::string checkpoint_origin;
    // A checkpoint found beside the trail that verifies under the writer's key must have its
    // tree in the trail (a trail cut short below it, rewritten or forked is refused); with no
    // origin given, it is kept current under its own origin. False leaves that file alone.
    bool follow_checkpoint = true;
};

struct AppendResult {
    std::uint64_t index = 0;
    Hash32 hash{};
};

// What opening found.
struct OpenReport {
    bool created = false;              // the file was new (or empty) and was initialised
    std::uint64_t entries = 0;         // entries verified in the existing file
    bool repaired = false;             // the tail of a cut-short append was removed or completed
    std::uint64_t dropped_bytes = 0;   // bytes removed from the file
    std::string kept_path;             // where the removed bytes were kept; empty when none were
    std::string followed_origin;       // the origin of the checkpoint beside the trail, now kept current
    std::string checkpoint_ignored;    // why a checkpoint found beside the trail is not kept current

    // The warning for a repair: how many bytes were removed and where they were kept.
    std::string repair_warning(const std::string& trail_path) const;
    // The warning for a checkpoint beside the trail that is not kept current.
    std::string checkpoint_warning(const std::string& trail_path) const;
};

// The decision a watchdog record stands for: approved without one, denied with the denial's
// reason otherwise (the final denial's, for a hard reset).
Decision decision_for(const WatchdogRecord& record);

// What a watchdog's verdict leaves in the trail: its signal for a hard reset (which carries the
// final denial), its signed denial for a plain denial, nothing for an approval.
WatchdogRecord watchdog_record_of(const WatchdogVerdict& verdict);

class TrailWriter {
public:
    static std::expected<std::unique_ptr<TrailWriter>, TrailError> open(std::string path,
                                                                      std::shared_ptr<const TrailKey> key,
                                                                      SyncPolicy policy = {},
                                                                      UnixClock clock = system_unix_seconds,
                                                                      const TrailProgress& progress = {});
    ~TrailWriter();

    // Appends one entry: the proof (and the watchdog record, if any) must be for this action,
    // and the proof's nonce must not be in the trail yet.
    // A gate's entries also carry its record of the call or of its outcome.
    std::expected<AppendResult, TrailError> append(const Action& action, const IntegrityProof& proof,
                                                   const Decision& decision, const WatchdogRecord& record = {},
                                                   const std::optional<GateRecord>& gate = std::nullopt);

    // Makes every appended entry durable.
    std::expected<void, TrailError> sync();
    // A signed checkpoint (signed-note text) of the trail as it stands, under `origin`. The
    // trail is synced first: a checkpoint never covers an entry a crash could still lose.
    std::expected<std::string, TrailError> checkpoint(const std::string& origin);
    // Syncs, releases the lock and closes the file; later calls fail with Closed.
    std::expected<void, TrailError> close();

    std::uint64_t count() const;
    Hash32 head_hash() const;
    // The trail's fdatasync calls since opening: with durable appends from several threads,
    // fewer than the appends, as they share them.
    std::uint64_t syncs() const;
    const std::string& path() const { return path_; }
    const OpenReport& open_report() const { return report_; }
    // The origin under which each sync writes the checkpoint beside the trail; empty for none.
    const std::string& checkpoint_origin() const { return policy_.checkpoint_origin; }
    PublicKey public_key() const { return public_key_; }
    // The key that signs the entries, for a component that signs records the trail holds.
    const std::shared_ptr<const TrailKey>& key() const { return key_; }

private:
    TrailWriter(std::string path, FileDescriptor file, std::shared_ptr<const TrailKey> key, SyncPolicy policy,
                UnixClock clock);

    // `progress` is called now and then while the file is read; returning false stops the open.
    std::expected<void, TrailError> load(const TrailProgress& progress);
    std::expected<void, TrailError> repair_torn_tail(const ScanFailure& failure);
    // One append between its reservation and its write; it lives on its caller's stack.
    struct Pending {
        enum class Stage : std::uint8_t { Signing, Ready, Written, Failed };
        std::string& line;          // separator, entry and closing line; the caller's own buffer
        std::uint64_t index = 0;
        Hash32 hash{};
        Nonce nonce{};
        Stage stage = Stage::Signing;
        std::optional<TrailError> error;
        mutable std::condition_variable wake;  // its entry was written (when awaited), or failed
        bool awaits_write = false;  // its caller waits for the write itself, not for a sync

        explicit Pending(std::string& buffer) : line(buffer) {}
    };
    // A sync's leader waiting for the batch to be written; it lives on the leader's stack.
    struct Gathering {
        std::condition_variable wake;
        bool taken = false;  // the append that completed the batch leads the sync instead
    };
    // A caller of make_durable waiting for the sync in flight; it lives on its caller's stack.
    struct SyncWaiter {
        std::uint64_t target;
        std::condition_variable& wake;
    };
    // The sequential part of an append: every check, the entry's index, chain link and hash,
    // its line rendered up to the signature, the nonce reserved. Refusals change nothing.
    std::expected<void, TrailError> reserve(Pending& pending, const Action& action, const IntegrityProof& proof,
                                            const Decision& decision, const WatchdogRecord& record,
                                            const std::optional<GateRecord>& gate);
    // Entries reserved so far, written or not.
    std::uint64_t reserved_count() const { return state_.count + pending_.size(); }
    // Signs the entry of `hash` and ends its line: the signature member and the closing line.
    std::expected<Signature, CryptoError> sign_line(std::string& line, const Hash32& hash) const;
    // Writes, in index order, every signed entry at the front of the pending ones; a failed
    // one fails with everything reserved after it.
    void write_ready(std::unique_lock<std::mutex>& lock);
    // Undoes the reservations from the front on: nonces released, the chain back to the last
    // written entry; each fails with `error`.
    void roll_back(const TrailError& error);
    // Waits until every append reserved so far is written or failed.
    void wait_for_reserved(std::unique_lock<std::mutex>& lock);
    // A thread's line buffer larger than this (an entry near the size limit) is released.
    static constexpr std::size_t kKeptLineCapacity = std::size_t{1} << 20;
    // How long, at most, a sync's leader waits for the appends reserved before it to be
    // written (and, for a durable append, for a batch as large as the last), so that they
    // share its sync rather than wait for the next one. Measured with eight threads on two
    // cores: a batch of seven or eight entries per sync, a sync about 300 us.
    static constexpr std::chrono::microseconds kGatherAppends{200};
    // Makes the first `target` entries durable (and, with a checkpoint origin, covered by the
    // checkpoint beside the trail): one caller at a time syncs, without the lock, for every
    // entry written so far; the others wait for it. Returns with the lock held.
    // `own`: the caller's append, which may still be unwritten; its failure ends the wait.
    std::expected<void, TrailError> make_durable(std::unique_lock<std::mutex>& lock, std::uint64_t target,
                                                 const Pending* own = nullptr);
    // True when every reserved append is written, and as many entries as the gathering
    // leader waits for (or the writer can write no more).
    bool gathered() const;
    // Wakes the gathering leader, if any, once its batch is gathered.
    void wake_gatherer_if_gathered();
    // True when the first `target` entries are durable, and covered by the checkpoint beside
    // the trail if one is kept.
    bool covers(std::uint64_t target) const;
    // After a sync: wakes the waiters it covers and one other to lead the next sync (`all`:
    // every waiter, after a failure or at closing).
    void wake_after_sync(bool all);
    // A checkpoint of the first `size` entries, which must be durable.
    std::expected<std::string, TrailError> checkpoint_locked(const std::string& origin, std::uint64_t size);
    std::expected<void, TrailError> scan_into_tree(const TrailProgress& progress);
    std::expected<void, TrailError> follow_checkpoint(const TrailProgress& progress);
    std::expected<void, TrailError> usable() const;

    const std::string path_;
    FileDescriptor file_;
    std::shared_ptr<const TrailKey> key_;
    PublicKey public_key_{};
    SyncPolicy policy_;
    UnixClock clock_;

    mutable std::mutex mutex_;
    TrailState state_;  // what the file holds: written entries only
    // Reserved entries not yet written (or failed), in index order from state_.count on.
    std::deque<Pending*> pending_;
    Gathering* gathering_ = nullptr;   // the sync's leader, waiting for reserved appends
    std::uint64_t gather_until_ = 0;   // and until this many entries are written
    std::condition_variable drained_;  // for wait_for_reserved: an entry was written or rolled back
    std::uint32_t draining_ = 0;       // callers of wait_for_reserved waiting
    std::vector<SyncWaiter*> sync_waiters_;
    bool writing_ = false;             // a thread is writing entries, without the lock
    std::array<iovec, 64> iov_{};      // the writing thread's pieces
    bool closing_ = false;             // close() has begun: no more reservations
    std::uint64_t roll_backs_ = 0;     // how many times reservations were rolled back
    NonceIndex nonces_;                // written and reserved entries' nonces
    std::optional<TrailTree> tree_;
    OpenReport report_;
    std::uint32_t unsynced_ = 0;  // appends since the last one that asked for a sync
    std::chrono::steady_clock::time_point last_sync_;
    std::condition_variable synced_;   // a sync finished, while closing
    bool syncing_ = false;             // a sync is in flight, without the lock
    std::uint64_t last_batch_ = 0;     // entries the last sync made durable
    std::uint64_t syncs_ = 0;          // fdatasync calls made
    std::uint64_t durable_ = 0;        // entries a sync has covered
    std::uint64_t checkpointed_ = 0;   // entries the checkpoint beside the trail covers
    bool broken_ = false;
    bool checkpoint_written_ = false;  // since opening, under policy_.checkpoint_origin
};

}  // namespace corvel

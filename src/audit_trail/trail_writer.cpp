#include "audit_trail/trail_writer.hpp"

#include <unistd.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <span>

#include "audit_trail/trail_checkpoint.hpp"
#include "audit_trail/trail_file.hpp"
#include "audit_trail/trail_json.hpp"
#include "audit_trail/trail_repair.hpp"
#include "audit_trail/trail_verifier.hpp"
#include "merkle/compact_range.hpp"
#include "merkle/merkle_hash.hpp"
#include "base/fault.hpp"
#include "note/note_key.hpp"

namespace corvel {

namespace {

std::unexpected<TrailError> io_failure(int errnum) { return std::unexpected(TrailError::audit(AuditError::io_error(errnum))); }

std::unexpected<TrailError> audit_failure(AuditError error) {
    return std::unexpected(TrailError::audit(std::move(error)));
}

}  // namespace

std::string OpenReport::repair_warning(const std::string& trail_path) const {
    if (dropped_bytes == 0) {
        return "Audit trail " + trail_path + ": completed the closing line that an append cut short had left "
               "unfinished; nothing was removed and every whole entry was kept";
    }
    return "Audit trail " + trail_path + ": removed " + std::to_string(dropped_bytes) +
           (dropped_bytes == 1 ? " byte" : " bytes") +
           " of an append that was cut short, kept in " + kept_path + "; every whole entry was kept";
}

std::string OpenReport::checkpoint_warning(const std::string& trail_path) const {
    return "Audit trail " + trail_path + ": the checkpoint beside it is left as it is and not kept current (" +
           checkpoint_ignored + "); name a checkpoint origin to replace it";
}

Decision decision_for(const WatchdogRecord& record) {
    if (record.hard_reset_signal) return Decision::denied(record.hard_reset_signal->final_denial.denial_reason);
    if (record.denial_proof) return Decision::denied(record.denial_proof->denial_reason);
    return Decision::approved();
}

WatchdogRecord watchdog_record_of(const WatchdogVerdict& verdict) {
    if (verdict.hard_reset_signal) return {std::nullopt, verdict.hard_reset_signal};
    if (!verdict.approved) return {verdict.denial_proof, std::nullopt};
    return {};
}

TrailWriter::TrailWriter(std::string path, FileDescriptor file, std::shared_ptr<const TrailKey> key,
                         SyncPolicy policy, UnixClock clock)
    : path_(std::move(path)), file_(std::move(file)), key_(std::move(key)), public_key_(key_->public_key().bytes()),
      policy_(policy), clock_(clock), last_sync_(std::chrono::steady_clock::now()) {}

TrailWriter::~TrailWriter() {
    if (file_ && durable_ < state_.count) ::fdatasync(file_.get());
}

std::expected<std::unique_ptr<TrailWriter>, TrailError> TrailWriter::open(std::string path,
                                                                          std::shared_ptr<const TrailKey> key,
                                                                          SyncPolicy policy, UnixClock clock,
                                                                          const TrailProgress& progress) {
    if (!key) throw Fault("TrailWriter needs a key");
    // The origin names the checkpoints' key: a bad one is refused before any file is touched.
    if (!policy.checkpoint_origin.empty() && !valid_note_key_name(policy.checkpoint_origin)) {
        return std::unexpected(TrailError::checkpoint(bad_key_name(policy.checkpoint_origin).message()));
    }
    auto file = open_trail_file(path, O_RDWR | O_CREAT, 0644);
    if (!file) return audit_failure(std::move(file.error()));
    // One writer per file, across threads and processes: the lock belongs to this open file.
    if (::flock(file->get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) return std::unexpected(TrailError::locked(path));
        return io_failure(errno);
    }
    // A file that is refused keeps no tree beside it that this opening created.
    const std::string tree_path = tree_path_for(path);
    struct stat seen;
    const bool had_tree = ::lstat(tree_path.c_str(), &seen) == 0;
    std::unique_ptr<TrailWriter> writer(new TrailWriter(std::move(path), std::move(*file), std::move(key), policy, clock));
    if (auto loaded = writer->load(progress); !loaded) {
        writer.reset();
        if (!had_tree) ::unlink(tree_path.c_str());
        return std::unexpected(std::move(loaded.error()));
    }
    writer->durable_ = writer->state_.count;  // as durable as the file was found
    return writer;
}

std::expected<void, TrailError> TrailWriter::load(const TrailProgress& progress) {
    tree_.emplace(tree_path_for(path_));
    struct stat metadata;
    if (::fstat(file_.get(), &metadata) != 0) return io_failure(errno);
    if (metadata.st_size == 0) {
        // New, or created by a crash before its first bytes: start the empty array.
        const std::string empty = std::string(kTrailOpening) + std::string(kTrailClosing);
        if (auto wrote = write_all_at(file_.get(), empty, 0); !wrote) return audit_failure(std::move(wrote.error()));
        if (::fsync(file_.get()) != 0) return io_failure(errno);
        if (auto synced = sync_parent_directory(path_); !synced) return audit_failure(std::move(synced.error()));
        state_ = TrailState{};
        state_.file_size = empty.size();
        report_.created = true;
        if (!tree_->matches(0)) tree_->start_rebuild();
        return {};
    }
    // A checkpoint beside the trail that verifies under the writer's key vouches for the
    // entries it covers: they are read by their hashes, chain and root, and only the rest by
    // their signatures, in the one pass that also checks the tree.
    std::optional<Checkpoint> vouching;
    if (policy_.follow_checkpoint) {
        if (auto note = read_checkpoint_file(checkpoint_path_for(path_)); note && *note) {
            if (auto checkpoint = open_trail_checkpoint(**note, public_key_)) vouching = std::move(*checkpoint);
        }
    }
    merkle::CompactRange range;
    bool reached = !vouching || vouching->size == 0;
    bool differs = vouching && vouching->size == 0 && vouching->root != range.root();
    bool stopped = false;
    const TrailEntryHook observe = [&](std::uint64_t index, const Hash32& hash) {
        tree_->observe(index, hash);
        if (reached) return;
        range.append(merkle::leaf_hash(hash));
        if (range.size() == vouching->size) {
            reached = true;
            differs = range.root() != vouching->root;
        }
    };
    const TrailProgress watched = [&](std::uint64_t done, std::uint64_t total) {
        if (!progress || progress(done, total)) return true;
        stopped = true;
        return false;
    };
    auto scanned = scan_trail(file_.get(), public_key_, state_, nonces_, ScanMode::RecoverTornTail, watched, observe,
                              vouching ? vouching->size : 0);
    if (vouching && !stopped && (!reached || differs)) {
        // Something in the covered prefix is wrong, or the trail does not hold the checkpoint:
        // read it again with every check, so that the refusal is the one a full check gives.
        state_ = TrailState{};
        nonces_ = NonceIndex{};
        tree_.emplace(tree_path_for(path_));
        if (::lseek(file_.get(), 0, SEEK_SET) != 0) return io_failure(errno);
        const TrailEntryHook plain = [this](std::uint64_t index, const Hash32& hash) { tree_->observe(index, hash); };
        scanned = scan_trail(file_.get(), public_key_, state_, nonces_, ScanMode::RecoverTornTail, progress, plain);
    }
    if (!scanned) {
        const AuditError& error = scanned.error().error;
        if (error.kind() == AuditError::Kind::InvalidSignature && state_.count == 0) {
            return std::unexpected(TrailError::wrong_key(path_));
        }
        if (!scanned.error().in_layout) return audit_failure(error);
        if (auto repaired = repair_torn_tail(scanned.error()); !repaired) return repaired;
    }
    report_.entries = state_.count;
    if (!tree_->matches(state_.count)) {
        if (auto rebuilt = scan_into_tree(progress); !rebuilt) return rebuilt;
    }
    return follow_checkpoint(progress);
}

// A checkpoint beside the trail that verifies under the writer's key vouches for the trail's
// length: writing a smaller checkpoint over it would hide the entries the trail lost, so a
// trail that does not hold its tree is refused, whether an origin was given or not. Without
// a given origin, the writer keeps that checkpoint current under its own origin.
std::expected<void, TrailError> TrailWriter::follow_checkpoint(const TrailProgress& progress) {
    if (!policy_.follow_checkpoint) return {};
    const bool given = !policy_.checkpoint_origin.empty();
    const std::string path = checkpoint_path_for(path_);
    const auto ignore = [&](std::string why) -> std::expected<void, TrailError> {
        if (!given) report_.checkpoint_ignored = std::move(why);  // a given origin replaces it anyway
        return {};
    };
    auto note = read_checkpoint_file(path);
    if (!note) return ignore(path + ": " + note.error().message());
    if (!*note) return {};
    auto checkpoint = open_trail_checkpoint(**note, public_key_);
    if (!checkpoint) return ignore(path + ": " + checkpoint.error().message());
    const std::string size = std::to_string(checkpoint->size);
    const std::string advice = ". The trail was not opened; move the checkpoint away to append anyway";
    if (checkpoint->size > state_.count) {
        return std::unexpected(TrailError::not_the_prefix("the checkpoint beside it (" + path + ") covers " + size +
                                                          " entries, the file holds " + std::to_string(state_.count) +
                                                          ": it was cut short" + advice));
    }
    auto tree = tree_->tree();
    // Without a tree no checkpoint can be signed, and every sync would fail for it.
    if (!tree) return ignore("the Merkle tree beside the trail is unavailable: " + tree.error().message());
    // The tree is not synced on the append path: after a crash of the machine its inner nodes
    // may be stale even where its leaves agree with the trail. It is rebuilt from the trail
    // before the trail is refused.
    if (!(*tree)->check_root(checkpoint->size, checkpoint->root)) {
        if (auto rebuilt = scan_into_tree(progress); !rebuilt) return rebuilt;
        tree = tree_->tree();
        if (!tree) return ignore("the Merkle tree beside the trail is unavailable: " + tree.error().message());
    }
    if (!(*tree)->check_root(checkpoint->size, checkpoint->root)) {
        return std::unexpected(TrailError::not_the_prefix("its first " + size +
                                                          " entries do not give the root of the checkpoint beside it (" +
                                                          path + "): an entry was rewritten, or the trail forked" +
                                                          advice));
    }
    if (!given) {
        policy_.checkpoint_origin = checkpoint->origin;
        report_.followed_origin = checkpoint->origin;
    }
    return {};
}

// Rebuilds the tree from the trail, which has just been checked: a second reading, on the
// rare road where the tree beside it was lost or damaged.
std::expected<void, TrailError> TrailWriter::scan_into_tree(const TrailProgress& progress) {
    tree_->start_rebuild();
    if (::lseek(file_.get(), 0, SEEK_SET) != 0) return io_failure(errno);
    TrailState state;
    NonceIndex nonces;
    const TrailEntryHook observe = [this](std::uint64_t index, const Hash32& hash) { tree_->observe(index, hash); };
    if (auto scanned = scan_trail(file_.get(), public_key_, state, nonces, ScanMode::Strict, progress, observe); !scanned) {
        return audit_failure(std::move(scanned.error().error));
    }
    return {};
}

std::expected<void, TrailError> TrailWriter::repair_torn_tail(const ScanFailure& failure) {
    const std::uint64_t size = state_.file_size;
    const std::uint64_t start = state_.entries_end;
    const auto refuse = [&] { return std::unexpected(TrailError::not_repairable(path_, failure.error.message())); };
    if (size < start || size - start > kMaxEntryLine + 16) return refuse();
    // Only a file that begins as a trail is one: before the first entry, its opening bracket.
    char first = 0;
    if (::pread(file_.get(), &first, 1, 0) != 1 || first != kTrailOpening[0]) return refuse();
    std::string tail(size - start, '\0');
    if (::pread(file_.get(), tail.data(), tail.size(), static_cast<off_t>(start)) != static_cast<ssize_t>(tail.size())) {
        return io_failure(errno ? errno : EIO);
    }
    if (!is_torn_append(tail, state_.count == 0)) return refuse();

    const std::string byte_count = std::to_string(tail.size()) + (tail.size() == 1 ? " byte" : " bytes");
    // The start of the closing line is kept and finished; anything else is kept beside the
    // trail, durably, before the trail is cut.
    const bool closing_begun = kTrailClosing.starts_with(tail);
    std::string kept;
    if (!closing_begun) {
        auto saved = keep_removed_tail(path_, tail);
        if (!saved) {
            return std::unexpected(TrailError::repair_failed(
                path_, "the " + byte_count + " of an append cut short could not be kept beside it (" +
                           saved.error().message() + "), so the file was left untouched"));
        }
        kept = std::move(*saved);
    }
    const std::uint64_t keep_from = closing_begun ? size : start;
    const auto failed = [&](const AuditError& error) {
        return std::unexpected(TrailError::repair_failed(
            path_, "removing the " + byte_count + " of an append cut short failed (" + error.message() + ")" +
                       (kept.empty() ? std::string() : "; they are kept in " + kept)));
    };
    if (!closing_begun && ::ftruncate(file_.get(), static_cast<off_t>(start)) != 0) {
        return failed(AuditError::io_error(errno));
    }
    const std::string_view rest = kTrailClosing.substr(keep_from - start);
    if (auto wrote = write_all_at(file_.get(), rest, keep_from); !wrote) return failed(wrote.error());
    if (::fsync(file_.get()) != 0) return failed(AuditError::io_error(errno));
    report_.repaired = true;
    report_.dropped_bytes = closing_begun ? 0 : tail.size();
    report_.kept_path = std::move(kept);
    state_.file_size = start + kTrailClosing.size();
    return {};
}

std::expected<void, TrailError> TrailWriter::usable() const {
    if (!file_) return std::unexpected(TrailError::closed());
    if (broken_) return std::unexpected(TrailError::broken());
    return {};
}

std::expected<Signature, CryptoError> TrailWriter::sign_line(std::string& line, const Hash32& hash) const {
    auto signature = key_->sign(signature_message(hash));
    if (signature) {
        render_entry_signature(line, *signature);
        line += kTrailClosing;
    }
    return signature;
}

std::expected<AppendResult, TrailError> TrailWriter::append(const Action& action, const IntegrityProof& proof,
                                                            const Decision& decision, const WatchdogRecord& record,
                                                            const std::optional<GateRecord>& gate) {
    // The hash of the action is computed before the lock: a huge action costs only its caller.
    const Hash32 action_hash = action.hash();
    if (proof.action_hash != action_hash) return std::unexpected(TrailError::action_mismatch("proof"));
    if (record.denial_proof && record.denial_proof->action_hash != action_hash) {
        return std::unexpected(TrailError::action_mismatch("denial proof"));
    }
    if (record.hard_reset_signal && record.hard_reset_signal->final_denial.action_hash != action_hash) {
        return std::unexpected(TrailError::action_mismatch("hard-reset signal"));
    }

    // Each thread renders into its own buffer, reused from one append to the next: the line
    // is written by whichever thread reaches its turn while its caller waits.
    thread_local std::string line;
    Pending pending{line};
    std::unique_lock lock(mutex_);
    if (auto reserved = reserve(pending, action, proof, decision, record, gate); !reserved) {
        if (line.capacity() > kKeptLineCapacity) std::string().swap(line);
        return std::unexpected(std::move(reserved.error()));
    }
    const bool signed_already = pending.stage == Pending::Stage::Ready;
    lock.unlock();

    // Signed without the lock, on every core: the chain needs the hash, not the signature.
    std::expected<Signature, CryptoError> signature;
    if (!signed_already) signature = sign_line(line, pending.hash);
    lock.lock();
    if (!signed_already && pending.stage == Pending::Stage::Signing) {  // not rolled back meanwhile
        if (signature) {
            pending.stage = Pending::Stage::Ready;
        } else {
            pending.stage = Pending::Stage::Failed;
            pending.error = TrailError::audit(AuditError::crypto(std::move(signature.error())));
        }
    }
    write_ready(lock);
    const auto settled = [&] {
        pending.awaits_write = true;
        return pending.stage == Pending::Stage::Written || pending.stage == Pending::Stage::Failed;
    };
    std::expected<void, TrailError> synced;
    if (policy_.every == 1) {
        // Every append syncs: its caller waits once, for the sync that covers its entry (or
        // its failure), not first for its write.
        last_sync_ = std::chrono::steady_clock::now();
        synced = make_durable(lock, pending.index + 1, &pending);
        pending.wake.wait(lock, settled);  // after a failure, until no thread can touch `line`
    } else {
        pending.wake.wait(lock, settled);
        if (pending.stage == Pending::Stage::Written) {
            ++unsynced_;
            const bool by_count = policy_.every != 0 && unsynced_ >= policy_.every;
            const bool by_time = policy_.interval.count() > 0 &&
                                 std::chrono::steady_clock::now() - last_sync_ >= policy_.interval;
            if (by_count || by_time) {
                unsynced_ = 0;
                last_sync_ = std::chrono::steady_clock::now();
                synced = make_durable(lock, pending.index + 1);
            }
        }
    }
    if (line.capacity() > kKeptLineCapacity) std::string().swap(line);
    if (pending.stage == Pending::Stage::Failed) return std::unexpected(std::move(*pending.error));
    if (!synced) return std::unexpected(std::move(synced.error()));
    return AppendResult{pending.index, pending.hash};
}

std::expected<void, TrailError> TrailWriter::reserve(Pending& pending, const Action& action,
                                                     const IntegrityProof& proof, const Decision& decision,
                                                     const WatchdogRecord& record,
                                                     const std::optional<GateRecord>& gate) {
    if (closing_) return std::unexpected(TrailError::closed());
    if (auto ok = usable(); !ok) return std::unexpected(std::move(ok.error()));
    if (const auto earlier = nonces_.find(proof.nonce)) return std::unexpected(TrailError::nonce_replayed(*earlier));

    const std::uint64_t index = reserved_count();
    const Hash32 previous = pending_.empty() ? state_.head_hash : pending_.back()->hash;
    TrailEntry entry{AuditEntry{index, clock_(), action, proof, decision, previous, {}, {}}, record, gate};
    if (const std::string_view bad = invalid_utf8_member(entry); !bad.empty()) {
        return std::unexpected(TrailError::invalid_text(std::string(bad)));
    }
    const Hash32 hash = entry_hash(entry);
    entry.entry.current_hash = hash;

    // The new entry replaces the closing line: ",\n" (just "\n" for the first), the entry, and
    // the closing line again, in one write.
    std::string& line = pending.line;
    line.clear();
    line += index == 0 ? "\n" : ",\n";
    const std::size_t json_start = line.size();
    render_entry_unsigned(line, entry);
    if (line.size() - json_start + kSignatureTextMax > kMaxEntryLine) {
        // Near the limit the size depends on the signature's digits: signed here, under the
        // lock, so that the limit is applied exactly and a refusal reserves nothing.
        if (auto signature = sign_line(line, hash); !signature) {
            return audit_failure(AuditError::crypto(std::move(signature.error())));
        }
        const std::size_t json_size = line.size() - json_start - kTrailClosing.size();
        if (json_size > kMaxEntryLine) return std::unexpected(TrailError::entry_too_large(json_size));
        pending.stage = Pending::Stage::Ready;
    }

    nonces_.insert(proof.nonce, index);
    pending.index = index;
    pending.hash = hash;
    pending.nonce = proof.nonce;
    pending_.push_back(&pending);
    return {};
}

void TrailWriter::write_ready(std::unique_lock<std::mutex>& lock) {
    // One thread writes at a time, without the lock; the others leave their signed entries to
    // it, and it goes on until the front entry is still being signed.
    if (writing_) return;
    bool changed = false;
    while (!pending_.empty() && pending_.front()->stage != Pending::Stage::Signing) {
        changed = true;
        if (pending_.front()->stage == Pending::Stage::Failed) {
            roll_back(*pending_.front()->error);
            break;
        }
        if (auto ok = usable(); !ok) {  // a failed sync stopped the writer
            roll_back(ok.error());
            break;
        }
        // The run of signed entries at the front, in one write: each line but the last
        // without its closing line, which the next entry replaces.
        std::size_t run = 0;
        while (run < pending_.size() && run < iov_.size() && pending_[run]->stage == Pending::Stage::Ready) {
            const std::string& line = pending_[run]->line;
            iov_[run] = {const_cast<char*>(line.data()), line.size() - kTrailClosing.size()};
            ++run;
        }
        iov_[run - 1].iov_len += kTrailClosing.size();
        const std::uint64_t offset = state_.entries_end;
        const int fd = file_.get();
        writing_ = true;
        lock.unlock();
        auto wrote = write_all_at(fd, std::span(iov_.data(), run), offset);
        bool restored = true;
        if (!wrote) {
            // Put the closing line back where it was, so the file stays the array it was.
            restored = write_all_at(fd, kTrailClosing, offset).has_value() &&
                       ::ftruncate(fd, static_cast<off_t>(offset + kTrailClosing.size())) == 0;
        }
        lock.lock();
        writing_ = false;
        if (!wrote) {
            if (!restored) {
                broken_ = true;
                wake_after_sync(true);
            }
            roll_back(TrailError::audit(std::move(wrote.error())));
            break;
        }
        for (std::size_t i = 0; i < run; ++i) {
            Pending& next = *pending_.front();
            tree_->append(next.hash);
            state_.head_hash = next.hash;
            state_.entries_end += next.line.size() - kTrailClosing.size();
            ++state_.count;
            next.stage = Pending::Stage::Written;
            if (next.awaits_write) next.wake.notify_one();
            pending_.pop_front();
        }
        state_.file_size = state_.entries_end + kTrailClosing.size();
    }
    if (!changed) return;
    // Only the threads that wait for this: a wake-up costs a context switch on a busy core. A
    // durable append goes on to lead the sync itself when its entry completes the batch.
    if (policy_.every != 1) wake_gatherer_if_gathered();
    if (draining_ > 0) drained_.notify_all();
}

void TrailWriter::roll_back(const TrailError& error) {
    for (Pending* pending : pending_) {
        nonces_.erase(pending->nonce);
        pending->stage = Pending::Stage::Failed;
        if (!pending->error) pending->error = error;
        pending->wake.notify_one();
    }
    pending_.clear();
    ++roll_backs_;
    // The batch a leader gathers may now be complete, with no append left to lead its sync.
    wake_gatherer_if_gathered();
}

void TrailWriter::wait_for_reserved(std::unique_lock<std::mutex>& lock) {
    const std::uint64_t target = reserved_count();
    const std::uint64_t roll_backs = roll_backs_;
    ++draining_;
    drained_.wait(lock, [&] { return state_.count >= target || roll_backs_ != roll_backs; });
    --draining_;
}

bool TrailWriter::gathered() const {
    return (state_.count >= reserved_count() && state_.count >= gather_until_) || broken_ || !file_;
}

void TrailWriter::wake_gatherer_if_gathered() {
    if (gathering_ != nullptr && gathered()) gathering_->wake.notify_one();
}

bool TrailWriter::covers(std::uint64_t target) const {
    // The first sync after opening writes the checkpoint even with nothing new: the file
    // beside the trail may be missing or stale, and an empty trail deserves its size-0 one.
    const bool checkpoint_due =
        !policy_.checkpoint_origin.empty() && (!checkpoint_written_ || checkpointed_ < target);
    return durable_ >= target && !checkpoint_due;
}

void TrailWriter::wake_after_sync(bool all) {
    // Every waiter now covered returns; of the others, one is woken to lead the next sync.
    // Each stays listed until it runs: one that finds another leader already waits on.
    bool leader_woken = false;
    for (SyncWaiter* waiter : sync_waiters_) {
        const bool done = covers(waiter->target);
        if (done || all || !leader_woken) {
            leader_woken = leader_woken || !done;
            waiter->wake.notify_one();
        }
    }
    if (closing_) synced_.notify_all();
}

std::expected<void, TrailError> TrailWriter::make_durable(std::unique_lock<std::mutex>& lock, std::uint64_t target,
                                                          const Pending* own) {
    const auto own_failed = [own] { return own != nullptr && own->stage == Pending::Stage::Failed; };
    for (;;) {
        if (own_failed()) return {};  // the caller reports its entry's failure
        if (covers(target)) return {};
        if (auto ok = usable(); !ok) {
            wake_after_sync(true);  // nobody leads another sync: every waiter learns it
            return std::unexpected(std::move(ok.error()));
        }
        // The append that completes the batch a leader is gathering leads the sync itself, at
        // once: waking the gatherer would cost another context switch (on a virtual machine
        // whose idle cores halt, up to a hundred microseconds) before the sync could begin.
        const bool take_over = syncing_ && gathering_ != nullptr && gathered();
        if (take_over) {
            gathering_->taken = true;
            gathering_ = nullptr;
        } else if (syncing_) {
            // Woken by the sync in flight once it covers this target, or to lead the next.
            std::condition_variable own_wake;
            SyncWaiter waiter{target, own != nullptr ? own->wake : own_wake};
            sync_waiters_.push_back(&waiter);
            waiter.wake.wait(lock, [&] { return !syncing_ || covers(target) || own_failed() || broken_ || !file_; });
            std::erase(sync_waiters_, &waiter);
            continue;
        }
        // This caller leads: one sync for every entry written so far, the lock released so that
        // appends go on meanwhile and wait for the next sync. Appends already reserved are
        // waited for, briefly, so that they share this sync rather than wait for the next one.
        // A leader that is a durable append also waits, as briefly, for as many entries as the
        // last sync covered: the callers that sync released are appending again, and a batch
        // as large as theirs spends a sync (and its CPU) on all of them.
        if (!take_over) {
            syncing_ = true;
            gather_until_ = durable_ + (own != nullptr ? last_batch_ : 0);
            if (!gathered()) {
                Gathering gathering;
                gathering_ = &gathering;
                gathering.wake.wait_for(lock, kGatherAppends, [&] { return gathered() || gathering.taken; });
                if (gathering.taken) continue;  // the append that completed the batch leads
                gathering_ = nullptr;
                if (auto ok = usable(); !ok) {
                    syncing_ = false;
                    wake_after_sync(true);
                    return std::unexpected(std::move(ok.error()));
                }
            }
        }
        const std::uint64_t covered = state_.count;
        const int fd = file_.get();
        int failed = 0;
        if (durable_ < covered) {
            lock.unlock();
            if (::fdatasync(fd) != 0) failed = errno;
            lock.lock();
            ++syncs_;
        }
        if (failed != 0) {
            // After a failed sync the kernel may have dropped the dirty pages: nothing written
            // since the last good sync can be trusted, so the writer stops.
            broken_ = true;
            syncing_ = false;
            wake_after_sync(true);
            return io_failure(failed);
        }
        last_batch_ = covered - durable_;
        durable_ = std::max(durable_, covered);
        std::expected<void, TrailError> written;
        if (!policy_.checkpoint_origin.empty()) {
            // The tree is an index of the trail, checked against it on every opening: never
            // synced here, it is written out for readers of the checkpoint beside the writer.
            tree_->flush();
            auto note = checkpoint_locked(policy_.checkpoint_origin, covered);
            if (note) {
                lock.unlock();
                auto replaced = replace_file(checkpoint_path_for(path_), *note);
                lock.lock();
                if (replaced) {
                    checkpoint_written_ = true;
                    checkpointed_ = std::max(checkpointed_, covered);
                } else {
                    written = audit_failure(replaced.error());
                }
            } else {
                written = std::unexpected(std::move(note.error()));
            }
        }
        syncing_ = false;
        wake_after_sync(!written);
        if (!written) return written;
    }
}

std::expected<std::string, TrailError> TrailWriter::checkpoint_locked(const std::string& origin, std::uint64_t size) {
    auto tree = tree_->tree();
    if (!tree) return std::unexpected(TrailError::no_tree(tree.error().message()));
    auto root = (*tree)->root_at(size);
    if (!root) return std::unexpected(TrailError::no_tree(root.error().message()));
    const Checkpoint checkpoint{origin, size, *root, {}};
    auto note = sign_checkpoint(checkpoint, TrailKeyNoteSigner(origin, *key_));
    if (!note) return std::unexpected(TrailError::checkpoint(note.error().message()));
    return std::move(*note);
}

std::expected<std::string, TrailError> TrailWriter::checkpoint(const std::string& origin) {
    std::unique_lock lock(mutex_);
    if (auto ok = usable(); !ok) return std::unexpected(std::move(ok.error()));
    wait_for_reserved(lock);
    if (auto synced = make_durable(lock, state_.count); !synced) return std::unexpected(std::move(synced.error()));
    // Entries appended while the sync was in flight may not be durable yet: they are left out.
    return checkpoint_locked(origin, durable_);
}

std::expected<void, TrailError> TrailWriter::sync() {
    std::unique_lock lock(mutex_);
    if (auto ok = usable(); !ok) return std::unexpected(std::move(ok.error()));
    wait_for_reserved(lock);
    return make_durable(lock, state_.count);
}

std::expected<void, TrailError> TrailWriter::close() {
    std::unique_lock lock(mutex_);
    if (!file_) return std::unexpected(TrailError::closed());
    // Appends already reserved are written (or fail) first; none are reserved after this.
    closing_ = true;
    wait_for_reserved(lock);
    if (!file_) return std::unexpected(TrailError::closed());
    std::expected<void, TrailError> synced;
    if (!broken_) synced = make_durable(lock, state_.count);
    // A sync in flight uses the descriptor without the lock: it finishes first.
    synced_.wait(lock, [this] { return !syncing_; });
    if (!file_) return std::unexpected(TrailError::closed());
    // Closing is the one time the tree is synced: a clean shutdown leaves it current.
    if (!broken_) (void)tree_->sync();
    file_.reset();  // closing the descriptor releases the lock
    wake_after_sync(true);
    return synced;
}

std::uint64_t TrailWriter::count() const {
    std::lock_guard lock(mutex_);
    return state_.count;
}

std::uint64_t TrailWriter::syncs() const {
    std::lock_guard lock(mutex_);
    return syncs_;
}

Hash32 TrailWriter::head_hash() const {
    std::lock_guard lock(mutex_);
    return state_.head_hash;
}

}  // namespace corvel

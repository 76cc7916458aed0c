#include "audit_trail/trail_verifier.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "merkle/compact_range.hpp"
#include "merkle/merkle_hash.hpp"
#include "note/signed_note.hpp"
#include "audit_trail/trail_checkpoint.hpp"
#include "audit_trail/trail_file.hpp"

namespace corvel {

std::expected<TrailSummary, AuditError> verify_trail(const std::string& path, const PublicKey& key,
                                                     const TrailProgress& progress) {
    auto file = open_trail_file(path, O_RDONLY);
    if (!file) return std::unexpected(std::move(file.error()));
    TrailState state;
    NonceIndex nonces;
    if (auto scanned = scan_trail(file->get(), key, state, nonces, ScanMode::Strict, progress); !scanned) {
        return std::unexpected(std::move(scanned.error().error));
    }
    return TrailSummary{state.count, state.head_hash};
}

std::expected<Checkpoint, TrailError> open_trail_checkpoint(std::string_view note, const PublicKey& key,
                                                            std::string_view key_name) {
    auto parsed = parse_note(note);
    if (!parsed) return std::unexpected(TrailError::checkpoint(parsed.error().message()));
    auto claimed = Checkpoint::parse(parsed->text);
    if (!claimed) return std::unexpected(TrailError::checkpoint(claimed.error().message()));
    if (!key_name.empty()) {
        if (auto same = check_origin(*claimed, key_name); !same) return std::unexpected(std::move(same.error()));
    }
    auto verifier = VerifierKey::make(claimed->origin, key);
    if (!verifier) return std::unexpected(TrailError::checkpoint(verifier.error().message()));
    auto checkpoint = verify_checkpoint(note, *verifier, claimed->origin);
    if (!checkpoint) return std::unexpected(TrailError::checkpoint(checkpoint.error().message()));
    return std::move(*checkpoint);
}

namespace {

struct PrefixScan {
    std::expected<void, ScanFailure> scanned;
    TrailState state;
    bool reached = false;  // the scan passed the checkpoint's size
    bool differs = false;  // and the root there was not the checkpoint's
    bool stopped = false;  // the progress callback stopped it
};

PrefixScan scan_against(int fd, const PublicKey& key, const Checkpoint& checkpoint, const TrailProgress& progress,
                        std::uint64_t signatures_from) {
    PrefixScan out;
    merkle::CompactRange range;
    out.reached = checkpoint.size == 0;
    out.differs = checkpoint.size == 0 && checkpoint.root != range.root();
    const TrailEntryHook observe = [&](std::uint64_t, const Hash32& current_hash) {
        if (out.reached) return;
        range.append(merkle::leaf_hash(current_hash));
        if (range.size() == checkpoint.size) {
            out.reached = true;
            out.differs = range.root() != checkpoint.root;
        }
    };
    const TrailProgress watched = [&](std::uint64_t done, std::uint64_t total) {
        if (!progress || progress(done, total)) return true;
        out.stopped = true;
        return false;
    };
    NonceIndex nonces;
    if (::lseek(fd, 0, SEEK_SET) != 0) {
        out.scanned = std::unexpected(ScanFailure{AuditError::io_error(errno)});
        return out;
    }
    out.scanned = scan_trail(fd, key, out.state, nonces, ScanMode::Strict, watched, observe, signatures_from);
    return out;
}

}  // namespace

std::expected<TrailSummary, TrailError> verify_trail_prefix(const std::string& path, const PublicKey& key,
                                                            std::string_view checkpoint_note,
                                                            const TrailProgress& progress,
                                                            std::string_view key_name, bool full) {
    auto checkpoint = open_trail_checkpoint(checkpoint_note, key, key_name);
    if (!checkpoint) return std::unexpected(std::move(checkpoint.error()));
    auto file = open_trail_file(path, O_RDONLY);
    if (!file) return std::unexpected(TrailError::audit(std::move(file.error())));

    // The covered prefix by its hashes, chain and root: one signature (the checkpoint's) for
    // all of it. Anything wrong inside it is found again by a scan with every check, so that
    // the failure reported is the one a full check reports.
    PrefixScan scan = scan_against(file->get(), key, *checkpoint, progress, full ? 0 : checkpoint->size);
    if (!full && !scan.stopped && (!scan.reached || scan.differs)) {
        scan = scan_against(file->get(), key, *checkpoint, progress, 0);
    }
    if (scan.differs) {
        const std::string first = checkpoint->size == 1 ? "its first entry does not give"
                                                        : "its first " + entries_text(checkpoint->size) + " do not give";
        return std::unexpected(TrailError::not_the_prefix(
            first + " the checkpoint's root: an entry was rewritten, or the trail forked"));
    }
    if (!scan.scanned) return std::unexpected(TrailError::audit(std::move(scan.scanned.error().error)));
    if (scan.state.count < checkpoint->size) {
        return std::unexpected(TrailError::not_the_prefix("the checkpoint covers " + entries_text(checkpoint->size) +
                                                          ", the file holds " + std::to_string(scan.state.count) +
                                                          ": it was cut short"));
    }
    return TrailSummary{scan.state.count, scan.state.head_hash};
}

}  // namespace corvel

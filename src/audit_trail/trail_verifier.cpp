#include "audit_trail/trail_verifier.hpp"

#include <fcntl.h>

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

std::expected<TrailSummary, TrailError> verify_trail_prefix(const std::string& path, const PublicKey& key,
                                                            std::string_view checkpoint_note,
                                                            const TrailProgress& progress,
                                                            std::string_view key_name) {
    auto checkpoint = open_trail_checkpoint(checkpoint_note, key, key_name);
    if (!checkpoint) return std::unexpected(std::move(checkpoint.error()));
    auto file = open_trail_file(path, O_RDONLY);
    if (!file) return std::unexpected(TrailError::audit(std::move(file.error())));

    merkle::CompactRange range;
    bool differs = checkpoint->size == 0 && checkpoint->root != range.root();
    const TrailEntryHook observe = [&](std::uint64_t, const Hash32& current_hash) {
        range.append(merkle::leaf_hash(current_hash));
        if (range.size() == checkpoint->size && range.root() != checkpoint->root) differs = true;
    };
    TrailState state;
    NonceIndex nonces;
    auto scanned = scan_trail(file->get(), key, state, nonces, ScanMode::Strict, progress, observe);
    if (differs) {
        const std::string first = checkpoint->size == 1 ? "its first entry does not give"
                                                        : "its first " + entries_text(checkpoint->size) + " do not give";
        return std::unexpected(TrailError::not_the_prefix(
            first + " the checkpoint's root: an entry was rewritten, or the trail forked"));
    }
    if (!scanned) return std::unexpected(TrailError::audit(std::move(scanned.error().error)));
    if (state.count < checkpoint->size) {
        return std::unexpected(TrailError::not_the_prefix("the checkpoint covers " + entries_text(checkpoint->size) +
                                                          ", the file holds " + std::to_string(state.count) +
                                                          ": it was cut short"));
    }
    return TrailSummary{state.count, state.head_hash};
}

}  // namespace corvel

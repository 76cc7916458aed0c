#include "audit_trail/trail_verifier.hpp"

#include <fcntl.h>

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

}  // namespace corvel

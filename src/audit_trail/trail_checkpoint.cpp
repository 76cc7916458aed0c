#include "audit_trail/trail_checkpoint.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "audit_trail/trail_file.hpp"
#include "note/signed_note.hpp"

namespace corvel {

std::expected<Signature, NoteError> TrailKeyNoteSigner::sign(ByteView message) const {
    auto signature = key_->sign(message);
    if (!signature) return std::unexpected(NoteError(NoteError::Kind::SigningFailed, signature.error().message()));
    return *signature;
}

std::string checkpoint_path_for(const std::string& trail_path) { return trail_path + ".checkpoint"; }

std::expected<std::optional<std::string>, AuditError> read_checkpoint_file(const std::string& path) {
    auto file = open_trail_file(path, O_RDONLY);
    if (!file) {
        if (const auto* io = file.error().io(); io != nullptr && io->errnum == ENOENT) return std::nullopt;
        return std::unexpected(std::move(file.error()));
    }
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(file->get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return std::unexpected(AuditError::io_error(errno));
        if (got == 0) return text;
        text.append(buffer, static_cast<std::size_t>(got));
        if (text.size() > (std::size_t{1} << 20)) {
            return std::unexpected(AuditError::io_error(EFBIG, "too large to be a checkpoint"));
        }
    }
}

std::expected<void, TrailError> check_origin(const Checkpoint& checkpoint, std::string_view key_name) {
    if (checkpoint.origin == key_name) return {};
    return std::unexpected(TrailError::checkpoint("the checkpoint's origin \"" + checkpoint.origin +
                                                  "\" is not the verifier key's name \"" + std::string(key_name) +
                                                  "\": it is another trail's checkpoint"));
}

std::expected<void, AuditError> replace_file(const std::string& path, std::string_view text) {
    const std::string temporary = path + ".tmp";
    {
        FileDescriptor file(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (!file) return std::unexpected(AuditError::io_error(errno));
        auto wrote = write_all_at(file.get(), text, 0);
        if (!wrote || ::fsync(file.get()) != 0) {
            const int errnum = wrote ? errno : wrote.error().io()->errnum;
            ::unlink(temporary.c_str());
            return std::unexpected(AuditError::io_error(errnum));
        }
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        const int errnum = errno;
        ::unlink(temporary.c_str());
        return std::unexpected(AuditError::io_error(errnum));
    }
    return sync_parent_directory(path);
}

std::expected<Checkpoint, TrailError> open_named_checkpoint(std::string_view note, const VerifierKey& key,
                                                            std::string_view what) {
    const auto refuse = [&](const NoteError& error) {
        return std::unexpected(TrailError::checkpoint(std::string(what) + error.message()));
    };
    auto parsed = parse_note(note);
    if (!parsed) return refuse(parsed.error());
    auto claimed = Checkpoint::parse(parsed->text);
    if (!claimed) return refuse(claimed.error());
    if (auto same = check_origin(*claimed, key.name); !same) return std::unexpected(std::move(same.error()));
    auto checkpoint = verify_checkpoint(note, key);
    if (!checkpoint) return refuse(checkpoint.error());
    return std::move(*checkpoint);
}

}  // namespace corvel

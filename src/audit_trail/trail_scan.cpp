#include "audit_trail/trail_scan.hpp"

#include <unistd.h>
#include <sodium.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <variant>
#include <vector>

#include "audit_trail/trail_error.hpp"
#include "audit_trail/trail_json.hpp"
#include "audit_trail/trail_line_checks.hpp"
#include "audit_trail/trail_signatures.hpp"

namespace corvel {

std::optional<std::uint64_t> NonceIndex::find(const Nonce& nonce) const {
    const auto found = map_.find(nonce);
    if (found == map_.end()) return std::nullopt;
    return found->second;
}

std::optional<std::uint64_t> NonceIndex::insert_new(const Nonce& nonce, std::uint64_t index) {
    const auto [at, inserted] = map_.try_emplace(nonce, index);
    if (inserted) return std::nullopt;
    return at->second;
}

std::size_t NonceIndex::Hash::operator()(const Nonce& nonce) const noexcept {
    std::uint64_t head;
    std::memcpy(&head, nonce.data(), sizeof head);
    return static_cast<std::size_t>(head);
}

bool NonceIndex::Equal::operator()(const Nonce& a, const Nonce& b) const noexcept {
    // Four word compares inline rather than a call to memcmp: the index is asked once per entry.
    std::uint64_t x[4], y[4];
    std::memcpy(x, a.data(), sizeof x);
    std::memcpy(y, b.data(), sizeof y);
    return ((x[0] ^ y[0]) | (x[1] ^ y[1]) | (x[2] ^ y[2]) | (x[3] ^ y[3])) == 0;
}

namespace {

constexpr std::size_t kReadBytes = std::size_t{1} << 20;
constexpr std::uint64_t kProgressEvery = std::uint64_t{1} << 20;  // also how often a reader may be stopped

// Hands out the file's lines one at a time from a buffer of about one read; a line may be as
// long as the entry limit. Every line is followed in memory by the parser's padding.
class LineReader {
public:
    explicit LineReader(int fd) : fd_(fd) { buffer_.resize(kReadBytes + TrailEntryParser::kPadding); }

    struct Line {
        std::string_view text;  // without the "\n"
        std::uint64_t offset = 0;
        bool terminated = false;  // ended by "\n" rather than by the end of the file
    };

    // The next line, nothing at the end of the file, or the read error.
    std::expected<std::optional<Line>, AuditError> next() {
        for (;;) {
            const char* start = buffer_.data() + begin_;
            if (const void* newline = std::memchr(start, '\n', end_ - begin_)) {
                const std::size_t length = static_cast<const char*>(newline) - start;
                Line line{{start, length}, offset_, true};
                begin_ += length + 1;
                offset_ += length + 1;
                return line;
            }
            if (end_ - begin_ > kMaxEntryLine + 8) {
                return std::unexpected(AuditError::serialization_error(
                    "line at byte " + std::to_string(offset_) + " is longer than the entry limit"));
            }
            if (eof_) {
                if (begin_ == end_) return std::optional<Line>();
                Line line{{start, end_ - begin_}, offset_, false};
                offset_ += end_ - begin_;
                begin_ = end_;
                return line;
            }
            if (auto filled = fill(); !filled) return std::unexpected(std::move(filled.error()));
        }
    }

    std::uint64_t bytes_read() const { return read_; }

private:
    std::expected<void, AuditError> fill() {
        if (begin_ > 0) {
            std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
            end_ -= begin_;
            begin_ = 0;
        }
        if (buffer_.size() - TrailEntryParser::kPadding - end_ < kReadBytes / 2)
            buffer_.resize(buffer_.size() + kReadBytes);
        const std::size_t room = buffer_.size() - TrailEntryParser::kPadding - end_;
        for (;;) {
            const ssize_t got = ::read(fd_, buffer_.data() + end_, room);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) return std::unexpected(AuditError::io_error(errno));
            if (got == 0) eof_ = true;
            end_ += static_cast<std::size_t>(got);
            read_ += static_cast<std::uint64_t>(got);
            return {};
        }
    }

    int fd_;
    std::vector<char> buffer_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    std::uint64_t offset_ = 0;
    std::uint64_t read_ = 0;
    bool eof_ = false;
};

std::unexpected<ScanFailure> layout_error(std::string detail) {
    return std::unexpected(ScanFailure{AuditError::serialization_error(std::move(detail)), true});
}

std::unexpected<ScanFailure> stopped() {
    return std::unexpected(ScanFailure{AuditError::serialization_error("verification stopped"), false, true});
}

// Below this size a file is checked on the caller's thread alone: starting threads costs more.
constexpr std::uint64_t kParallelFromBytes = std::uint64_t{1} << 18;

std::string at_line(std::uint64_t number) { return "line " + std::to_string(number) + ": "; }

}  // namespace

std::expected<void, AuditError> check_entry(const TrailEntry& trail_entry, std::uint64_t index,
                                            const Hash32& prev_hash, const PublicKey& key, bool check_signature) {
    const AuditEntry& entry = trail_entry.entry;
    if (entry.index != index) {
        return std::unexpected(AuditError::serialization_error(
            "entry " + std::to_string(index) + " holds index " + std::to_string(entry.index)));
    }
    if (entry.prev_hash != prev_hash) return std::unexpected(AuditError::chain_broken(index, prev_hash, entry.prev_hash));
    const Hash32 computed = entry_hash(trail_entry);
    if (entry.current_hash != computed) {
        return std::unexpected(AuditError::chain_broken(index, computed, entry.current_hash));
    }
    const auto message = signature_message(entry.current_hash);
    if (entry.signature.size() != crypto_sign_BYTES ||
        (check_signature && crypto_sign_verify_detached(entry.signature.data(), message.data(), message.size(), key.data()) != 0)) {
        return std::unexpected(AuditError::invalid_signature(index));
    }
    // A gate signs an allow's proof and a hard-reset signal with the trail's key: both are checked.
    if (trail_entry.gate && std::holds_alternative<GateCall>(*trail_entry.gate)) {
        auto signed_by_key = [&key](const Bytes& data, const Bytes& signature) {
            return signature.size() == crypto_sign_BYTES &&
                   crypto_sign_verify_detached(signature.data(), data.data(), data.size(), key.data()) == 0;
        };
        if (entry.decision.kind() == Decision::Kind::Approved &&
            !signed_by_key(entry.proof.signing_data(), entry.proof.signature)) {
            return std::unexpected(AuditError::invalid_signature(index));
        }
        const auto& signal = trail_entry.watchdog.hard_reset_signal;
        if (signal && !signed_by_key(signal->signing_data(), signal->signature)) {
            return std::unexpected(AuditError::invalid_signature(index));
        }
    }
    return {};
}

namespace {

// Fills a chunk with the reader's next lines: about kChunkBytes of them, or up to the end of
// the file or a read error (left in `failure`, to be reported after the lines before it).
void fill_chunk(LineReader& reader, LineChunk& chunk, std::uint64_t& lines_read,
                std::optional<AuditError>& failure, bool& at_end) {
    while (chunk.bytes() < EntryLineChecks::kChunkBytes) {
        auto next = reader.next();
        if (!next) {
            failure = std::move(next.error());
            at_end = true;
            return;
        }
        if (!*next) {
            at_end = true;
            return;
        }
        chunk.add((*next)->text, (*next)->offset, (*next)->terminated);
        ++lines_read;
    }
}

std::expected<void, ScanFailure> scan_entries(int fd, const PublicKey& key, TrailState& state, NonceIndex& nonces,
                                              ScanMode mode, const TrailProgress& progress,
                                              const TrailEntryHook& on_entry, std::uint64_t signatures_from,
                                              unsigned threads) {
    LineReader reader(fd);
    EntryLineChecks checks(key, signatures_from, threads);
    TrailEntryParser parser;
    std::uint64_t lines_read = 0;
    std::optional<AuditError> read_failure;
    bool at_end = false;
    std::uint64_t line_number = 0;
    std::uint64_t next_report = kProgressEvery;
    bool comma_before = false;  // the previous entry line ended in a comma
    bool closed = false;

    for (;;) {
        while (!at_end && checks.has_room()) {
            fill_chunk(reader, checks.start_chunk(lines_read + 1), lines_read, read_failure, at_end);
            checks.submit();
        }
        const LineChunk* chunk = checks.next_checked();
        if (chunk == nullptr) break;
        for (std::size_t i = 0; i < chunk->size(); ++i) {
            const LineChunk::Line& line = chunk->line(i);
            const std::string_view line_text = chunk->text(i);
            ++line_number;
            const std::uint64_t done = line.offset + line.size + (line.terminated ? 1 : 0);
            if (progress && done >= next_report) {
                if (!progress(done, state.file_size)) return stopped();
                next_report = done + kProgressEvery;
            }
            if (closed) return layout_error(at_line(line_number) + "text after the closing \"]\"");
            const LineVerdict& verdict = chunk->verdict(i);
            // No line of a trail holds a carriage return, not even as white space around an entry
            // (an entry a worker found sound holds none).
            if (!verdict.sound && std::memchr(line_text.data(), '\r', line_text.size()) != nullptr) {
                return layout_error(at_line(line_number) + "a carriage return");
            }
            const auto cut_short = [&] { return layout_error(at_line(line_number) + "the file ends inside a line"); };
            if (line_number == 1) {
                if (!line.terminated) return cut_short();
                if (line_text != kTrailOpening) return layout_error("line 1: expected \"[\"");
                continue;
            }
            if (line_text == "]") {
                if (comma_before) return layout_error(at_line(line_number) + "\"]\" after a comma");
                if (!line.terminated) return cut_short();
                closed = true;
                continue;
            }
            if (state.count > 0 && !comma_before)
                return layout_error(at_line(line_number) + "entry not preceded by a comma");
            std::string_view text = line_text;
            comma_before = !text.empty() && text.back() == ',';
            if (comma_before) text.remove_suffix(1);
            if (text.size() > kMaxEntryLine) {
                return layout_error(at_line(line_number) + "the entry line is longer than the limit of " +
                                    std::to_string(kMaxEntryLine) + " bytes");
            }

            bool torn_line_end = false;
            Hash32 current_hash;
            Nonce nonce;
            if (verdict.sound && line_number - 2 == state.count && verdict.prev_hash == state.head_hash) {
                current_hash = verdict.current_hash;
                nonce = verdict.nonce;
            } else {
                // The line again, one check after the other, so that a failure is named as ever.
                auto parsed = parser.parse(text);
                if (!parsed && mode == ScanMode::RecoverTornTail) {
                    // An append cut after its first byte leaves the old closing "]" behind the comma.
                    const std::size_t end = text.find_last_not_of(std::string_view(",]\0", 3));
                    if (end != std::string_view::npos && end + 1 < text.size()) {
                        text = text.substr(0, end + 1);
                        parsed = parser.parse(text);
                        torn_line_end = parsed.has_value();
                    }
                }
                if (!parsed) return layout_error(at_line(line_number) + parsed.error());
                if (auto checked = check_entry(*parsed, state.count, state.head_hash, key, state.count >= signatures_from);
                    !checked) {
                    return std::unexpected(ScanFailure{std::move(checked.error())});
                }
                current_hash = parsed->entry.current_hash;
                nonce = parsed->entry.proof.nonce;
            }
            if (const auto earlier = nonces.insert_new(nonce, state.count)) {
                return std::unexpected(ScanFailure{AuditError::serialization_error(
                    "the proof nonce of entry " + std::to_string(state.count) + " repeats that of entry " +
                    std::to_string(*earlier))});
            }
            if (on_entry) on_entry(state.count, current_hash);
            state.head_hash = current_hash;
            state.entries_end = line.offset + text.size();
            ++state.count;
            // A whole entry with its line end missing is kept: only what follows it was cut.
            if (!line.terminated || torn_line_end) return cut_short();
        }
        checks.release();
    }
    if (read_failure) return std::unexpected(ScanFailure{std::move(*read_failure)});
    if (line_number == 0) return layout_error("the file is empty");
    if (!closed) return layout_error("the file ends without the closing \"]\"");
    if (progress && !progress(reader.bytes_read(), state.file_size)) return stopped();
    return {};
}

}  // namespace

std::expected<void, ScanFailure> scan_trail(int fd, const PublicKey& key, TrailState& state, NonceIndex& nonces,
                                            ScanMode mode, const TrailProgress& progress,
                                            const TrailEntryHook& on_entry, std::uint64_t signatures_from) {
    struct stat metadata;
    if (::fstat(fd, &metadata) != 0) return std::unexpected(ScanFailure{AuditError::io_error(errno)});
    state.file_size = static_cast<std::uint64_t>(metadata.st_size);
    const unsigned threads = state.file_size >= kParallelFromBytes ? signature_threads() : 1;
    return scan_entries(fd, key, state, nonces, mode, progress, on_entry, signatures_from, threads);
}

}  // namespace corvel

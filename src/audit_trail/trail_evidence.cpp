#include "audit_trail/trail_evidence.hpp"

#include <fcntl.h>
#include <simdjson.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <optional>
#include <vector>

#include "note/base64.hpp"
#include "audit_trail/json_minus.hpp"
#include "merkle/merkle_hash.hpp"
#include "merkle/merkle_tree.hpp"
#include "merkle/merkle_verify.hpp"
#include "note/signed_note.hpp"
#include "audit_trail/trail_checkpoint.hpp"
#include "audit_trail/trail_file.hpp"
#include "audit_trail/trail_json.hpp"
#include "base/json_writer.hpp"
#include "audit_trail/trail_scan.hpp"
#include "audit_trail/trail_proof_tree.hpp"

namespace corvel {

namespace {

namespace dom = simdjson::dom;

std::unexpected<TrailError> refused(std::string why) { return std::unexpected(TrailError::checkpoint(std::move(why))); }

std::unexpected<TrailError> bad_evidence(std::string why) {
    return std::unexpected(TrailError::bad_document("evidence: " + std::move(why)));
}

std::unexpected<TrailError> bad_consistency(std::string why) {
    return std::unexpected(TrailError::bad_document("consistency document: " + std::move(why)));
}

std::expected<std::string, TrailError> read_small_file(const std::string& path) {
    auto file = open_trail_for_reading(path);
    if (!file) return std::unexpected(TrailError::audit(std::move(file.error())));
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(file->get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return std::unexpected(TrailError::audit(io_error_naming(path, errno)));
        if (got == 0) return text;
        text.append(buffer, static_cast<std::size_t>(got));
        if (text.size() > (1u << 20)) return refused(path + " is too large to be a checkpoint");
    }
}

// The checkpoint beside the trail, as signed, and what it says.
struct Beside {
    std::string note;
    Checkpoint checkpoint;
};

std::expected<Beside, TrailError> checkpoint_beside(const std::string& trail_path) {
    const std::string path = checkpoint_path_for(trail_path);
    auto note = read_small_file(path);
    if (!note) {
        const AuditError* audit = note.error().audit_error();
        if (audit != nullptr && audit->io() != nullptr && audit->io()->errnum == ENOENT) {
            return refused("no checkpoint beside the trail (" + path + "): open the trail with a checkpoint origin, "
                           "or sync it once");
        }
        return std::unexpected(std::move(note.error()));
    }
    auto parsed = parse_note(*note);
    if (!parsed) return refused(path + ": " + parsed.error().message());
    auto checkpoint = Checkpoint::parse(parsed->text);
    if (!checkpoint) return refused(path + ": " + checkpoint.error().message());
    return Beside{std::move(*note), std::move(*checkpoint)};
}

// The index at the start of an entry line, which the writer always puts first.
std::optional<std::uint64_t> line_index(std::string_view line) {
    constexpr std::string_view prefix = "{\"index\":";
    if (!line.starts_with(prefix)) return std::nullopt;
    std::uint64_t index = 0;
    const char* start = line.data() + prefix.size();
    const auto [end, error] = std::from_chars(start, line.data() + line.size(), index);
    if (error != std::errc{} || end == start) return std::nullopt;
    return index;
}

// Finds the line of entry `index` by bisecting the file on byte offsets: each probe reads from
// an offset to the end of the next line.
class LineFinder {
public:
    explicit LineFinder(int fd, std::uint64_t size) : fd_(fd), size_(size) {}

    // The whole line starting at or after `offset` (after its first newline, unless 0), and
    // where it starts; nothing past the end.
    std::expected<std::optional<std::pair<std::uint64_t, std::string>>, TrailError> line_after(std::uint64_t offset) {
        std::uint64_t start = offset;
        if (offset != 0) {
            auto newline = find_newline(offset - 1);
            if (!newline) return std::unexpected(std::move(newline.error()));
            if (!*newline) return std::optional<std::pair<std::uint64_t, std::string>>();
            start = **newline + 1;
        }
        auto end = find_newline(start);
        if (!end) return std::unexpected(std::move(end.error()));
        if (!*end) return std::optional<std::pair<std::uint64_t, std::string>>();
        std::string line(**end - start, '\0');
        if (!read_at(line.data(), line.size(), start)) return io();
        return std::make_optional(std::make_pair(start, std::move(line)));
    }

    std::expected<std::string, TrailError> entry_line(std::uint64_t index) {
        std::uint64_t lo = 0, hi = size_;
        while (lo < hi) {
            const std::uint64_t mid = lo + (hi - lo) / 2;
            auto found = line_after(mid);
            if (!found) return std::unexpected(std::move(found.error()));
            const auto probe = *found ? line_index((*found)->second) : std::nullopt;
            if (*found && probe && *probe == index) {
                std::string line = std::move((*found)->second);
                if (line.ends_with(',')) line.pop_back();
                return line;
            }
            // "[" and the lines before an entry sort low; "]" and the end sort high.
            const bool low = *found && ((*found)->second == "[" || (probe && *probe < index));
            if (low) lo = (*found)->first + (*found)->second.size() + 1;
            else hi = mid;
        }
        return std::unexpected(TrailError::audit(
            AuditError::serialization_error("the trail holds no line for entry " + std::to_string(index))));
    }

private:
    std::unexpected<TrailError> io() { return std::unexpected(TrailError::audit(AuditError::io_error(errno ? errno : EIO))); }

    bool read_at(char* out, std::size_t count, std::uint64_t offset) {
        while (count > 0) {
            const ssize_t got = ::pread(fd_, out, count, static_cast<off_t>(offset));
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return false;
            out += got;
            count -= static_cast<std::size_t>(got);
            offset += static_cast<std::uint64_t>(got);
        }
        return true;
    }

    std::expected<std::optional<std::uint64_t>, TrailError> find_newline(std::uint64_t from) {
        char buffer[65536];
        while (from < size_) {
            const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(sizeof buffer, size_ - from));
            if (!read_at(buffer, want, from)) return io();
            if (const void* hit = std::memchr(buffer, '\n', want)) {
                return std::optional<std::uint64_t>(from + static_cast<std::uint64_t>(static_cast<const char*>(hit) - buffer));
            }
            from += want;
        }
        return std::optional<std::uint64_t>();
    }

    int fd_;
    std::uint64_t size_;
};

void append_proof(std::string& out, const std::vector<merkle::Hash>& proof) {
    out.push_back('[');
    for (std::size_t i = 0; i < proof.size(); ++i) {
        if (i != 0) out.push_back(',');
        append_json_string(out, base64_encode(proof[i]));
    }
    out.push_back(']');
}

std::expected<std::vector<merkle::Hash>, std::string> read_proof(dom::element value) {
    const auto wrong = [](const char* why) { return std::unexpected(std::string(why)); };
    dom::array array;
    if (value.get(array) != simdjson::SUCCESS) return wrong("not a list of base64 hashes");
    std::vector<merkle::Hash> out;
    for (const auto item : array) {
        std::string_view text;
        if (item.get(text) != simdjson::SUCCESS) return wrong("not a list of base64 hashes");
        const auto bytes = base64_decode(text);
        if (!bytes || bytes->size() != 32) return wrong("a hash is not 32 bytes of canonical base64");
        merkle::Hash hash;
        std::copy(bytes->begin(), bytes->end(), hash.begin());
        out.push_back(hash);
    }
    return out;
}

}  // namespace

std::expected<std::string, TrailError> prove_entry(const std::string& trail_path, std::uint64_t index,
                                                   const TrailProgress& progress) {
    // The trail first, so that a missing trail is named as such.
    auto file = open_trail_for_reading(trail_path);
    if (!file) return std::unexpected(TrailError::audit(std::move(file.error())));
    auto beside = checkpoint_beside(trail_path);
    if (!beside) return std::unexpected(std::move(beside.error()));
    const Checkpoint& checkpoint = beside->checkpoint;
    if (index >= checkpoint.size) {
        return refused("entry " + std::to_string(index) + " is not covered by the checkpoint, which holds " +
                       entries_text(checkpoint.size));
    }

    struct stat metadata;
    if (::fstat(file->get(), &metadata) != 0) {
        return std::unexpected(TrailError::audit(io_error_naming(trail_path, errno)));
    }
    auto line = LineFinder(file->get(), static_cast<std::uint64_t>(metadata.st_size)).entry_line(index);
    if (!line) return std::unexpected(std::move(line.error()));
    line->append(TrailEntryParser::kPadding, ' ');
    TrailEntryParser parser;
    auto entry = parser.parse(std::string_view(*line).substr(0, line->size() - TrailEntryParser::kPadding));
    line->resize(line->size() - TrailEntryParser::kPadding);
    if (!entry) return std::unexpected(TrailError::audit(AuditError::serialization_error(entry.error())));
    const Hash32 computed = entry_hash(*entry);
    if (computed != entry->entry.current_hash) {
        return std::unexpected(TrailError::audit(AuditError::chain_broken(index, computed, entry->entry.current_hash)));
    }

    // The proof must lead from this entry to the checkpoint's root, as a verifier will check.
    const merkle::Hash leaf = merkle::leaf_hash(entry->entry.current_hash);
    auto proof = with_tree(trail_path, checkpoint,
                           [&](const merkle::MerkleTree& tree) -> std::expected<std::vector<merkle::Hash>, TrailError> {
                               auto path = tree.inclusion_proof(index, checkpoint.size);
                               if (!path) return std::unexpected(TrailError::no_tree(path.error().message()));
                               if (!merkle::verify_inclusion(index, checkpoint.size, leaf, *path, checkpoint.root)) {
                                   return std::unexpected(TrailError::not_the_prefix(
                                       "entry " + std::to_string(index) + " in the file is not the one the checkpoint "
                                       "beside it covers"));
                               }
                               return std::move(*path);
                           },
                           progress);
    if (!proof) return std::unexpected(std::move(proof.error()));

    std::string out = "{\"evidence\":";
    append_json_string(out, kEvidenceFormat);
    out += ",\"entry\":";
    out += *line;
    out += ",\"tree_size\":" + std::to_string(checkpoint.size) + ",\"inclusion_proof\":";
    append_proof(out, *proof);
    out += ",\"checkpoint\":";
    append_json_string(out, beside->note);
    out += "}\n";
    return out;
}

namespace {

// True when a run of digits outside strings is a whole number beyond 64 bits, which the parser
// reports only as a malformed number.
bool has_number_beyond_64_bits(std::string_view json) {
    bool in_string = false;
    for (std::size_t i = 0; i < json.size(); ++i) {
        const char c = json[i];
        if (in_string) {
            if (c == '\\') ++i;
            else if (c == '"') in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c >= '0' && c <= '9') {
            std::size_t end = i;
            while (end < json.size() && json[end] >= '0' && json[end] <= '9') ++end;
            std::uint64_t value = 0;
            if (std::from_chars(json.data() + i, json.data() + end, value).ec == std::errc::result_out_of_range) {
                return true;
            }
            i = end - 1;
        }
    }
    return false;
}

// A document's JSON, with what went wrong said for a reader of the document.
std::expected<dom::element, std::string> parse_document(dom::parser& parser, std::string_view text) {
    dom::element root;
    const auto error = parser.parse(simdjson::padded_string(text)).get(root);
    if (error == simdjson::SUCCESS) return root;
    const bool too_large = error == simdjson::NUMBER_ERROR && has_number_beyond_64_bits(text);
    if (error == simdjson::NUMBER_OUT_OF_RANGE || too_large) {
        return std::unexpected(std::string("a number does not fit in 64 bits"));
    }
    if (error == simdjson::UTF8_ERROR) return std::unexpected(std::string("it is not UTF-8 text"));
    return std::unexpected(std::string("it is not valid JSON (") + simdjson::error_message(error) + ")");
}

}  // namespace

std::expected<EvidenceSummary, TrailError> verify_evidence(std::string_view evidence, const VerifierKey& key) {
    dom::parser parser;
    auto root = parse_document(parser, evidence);
    if (!root) return bad_evidence(root.error());
    std::string_view format, note;
    dom::element entry_value, proof_value, size_value;
    std::uint64_t tree_size = 0;
    dom::object object;
    if (root->get(object) != simdjson::SUCCESS || object.size() != 5 ||
        object["evidence"].get(format) != simdjson::SUCCESS || format != kEvidenceFormat ||
        object["entry"].get(entry_value) != simdjson::SUCCESS ||
        object["tree_size"].get(size_value) != simdjson::SUCCESS ||
        object["inclusion_proof"].get(proof_value) != simdjson::SUCCESS ||
        object["checkpoint"].get(note) != simdjson::SUCCESS) {
        return bad_evidence(std::string("not an evidence document: an object with exactly the members evidence (\"") +
                            std::string(kEvidenceFormat) + "\"), entry, tree_size, inclusion_proof and checkpoint");
    }
    if (size_value.get(tree_size) != simdjson::SUCCESS) return bad_evidence("tree_size is not a whole number");

    // The entry is read back through the DOM, which loses the sign of "-0": look at the text.
    if (has_minus_outside_strings(evidence)) {
        return bad_evidence("a number with a minus sign (no number in evidence is negative, not even -0)");
    }

    auto checkpoint = open_named_checkpoint(note, key);
    if (!checkpoint) return std::unexpected(std::move(checkpoint.error()));
    if (checkpoint->size != tree_size) return bad_evidence("tree_size is not the checkpoint's size");

    std::string line = simdjson::minify(entry_value);
    const std::size_t length = line.size();
    line.append(TrailEntryParser::kPadding, ' ');
    TrailEntryParser entry_parser;
    auto entry = entry_parser.parse(std::string_view(line).substr(0, length));
    if (!entry) return bad_evidence("the entry: " + entry.error());
    const AuditEntry& e = entry->entry;
    const Hash32 computed = entry_hash(*entry);
    if (computed != e.current_hash) return std::unexpected(TrailError::audit(AuditError::chain_broken(e.index, computed, e.current_hash)));
    const auto message = signature_message(e.current_hash);
    if (e.signature.size() != crypto_sign_BYTES ||
        crypto_sign_verify_detached(e.signature.data(), message.data(), message.size(), key.public_key.data()) != 0) {
        return std::unexpected(TrailError::audit(AuditError::invalid_signature(e.index)));
    }

    auto proof = read_proof(proof_value);
    if (!proof) return bad_evidence("inclusion_proof: " + proof.error());
    if (auto included = merkle::verify_inclusion(e.index, tree_size, merkle::leaf_hash(e.current_hash), *proof,
                                                 checkpoint->root);
        !included) {
        return std::unexpected(TrailError::proof_refused("the inclusion proof of entry " + std::to_string(e.index) +
                                                         " does not lead to the checkpoint's root: " +
                                                         included.error().message()));
    }
    return EvidenceSummary{e.index, tree_size, checkpoint->origin, e.current_hash};
}

std::expected<std::string, TrailError> prove_consistency(std::string_view old_checkpoint_note,
                                                         const std::string& trail_path, const VerifierKey* key,
                                                         const TrailProgress& progress) {
    auto file = open_trail_for_reading(trail_path);
    if (!file) return std::unexpected(TrailError::audit(std::move(file.error())));
    auto parsed = parse_note(old_checkpoint_note);
    if (!parsed) return refused("the old checkpoint: " + parsed.error().message());
    auto old_checkpoint = Checkpoint::parse(parsed->text);
    if (!old_checkpoint) return refused("the old checkpoint: " + old_checkpoint.error().message());
    auto beside = checkpoint_beside(trail_path);
    if (!beside) return std::unexpected(std::move(beside.error()));
    const Checkpoint& current = beside->checkpoint;
    if (key != nullptr) {
        if (auto opened = open_named_checkpoint(old_checkpoint_note, *key, "the old checkpoint: "); !opened) {
            return std::unexpected(std::move(opened.error()));
        }
        const std::string where = checkpoint_path_for(trail_path) + ": ";
        if (auto opened = open_named_checkpoint(beside->note, *key, where); !opened) {
            return std::unexpected(std::move(opened.error()));
        }
    }
    if (old_checkpoint->origin != current.origin) {
        return refused("the old checkpoint is of \"" + old_checkpoint->origin + "\", the trail's of \"" +
                       current.origin + "\"");
    }
    if (old_checkpoint->size > current.size) {
        return std::unexpected(TrailError::not_the_prefix("the old checkpoint covers " +
                                                          entries_text(old_checkpoint->size) +
                                                          ", more than the trail's " +
                                                          std::to_string(current.size) + ": it was cut short"));
    }
    auto proof = with_tree(
        trail_path, current,
        [&](const merkle::MerkleTree& tree) -> std::expected<std::vector<merkle::Hash>, TrailError> {
            auto made = tree.consistency_proof(old_checkpoint->size, current.size);
            if (!made) return std::unexpected(TrailError::no_tree(made.error().message()));
            if (auto consistent = merkle::verify_consistency(old_checkpoint->size, current.size, old_checkpoint->root,
                                                             current.root, *made);
                !consistent) {
                return std::unexpected(TrailError::not_the_prefix(
                    "the trail does not extend the old checkpoint (rewritten, cut and regrown, or forked): " +
                    consistent.error().message()));
            }
            return std::move(*made);
        },
        progress);
    if (!proof) return std::unexpected(std::move(proof.error()));
    std::string out = "{\"consistency\":";
    append_json_string(out, kConsistencyFormat);
    out += ",\"old_checkpoint\":";
    append_json_string(out, old_checkpoint_note);
    out += ",\"new_checkpoint\":";
    append_json_string(out, beside->note);
    out += ",\"proof\":";
    append_proof(out, *proof);
    out += "}\n";
    return out;
}

std::expected<ConsistencySummary, TrailError> verify_consistency(std::string_view document, const VerifierKey& key) {
    dom::parser parser;
    auto root = parse_document(parser, document);
    if (!root) return bad_consistency(root.error());
    std::string_view format, old_note, new_note;
    dom::element proof_value;
    dom::object object;
    if (root->get(object) != simdjson::SUCCESS || object.size() != 4 ||
        object["consistency"].get(format) != simdjson::SUCCESS || format != kConsistencyFormat ||
        object["old_checkpoint"].get(old_note) != simdjson::SUCCESS ||
        object["new_checkpoint"].get(new_note) != simdjson::SUCCESS ||
        object["proof"].get(proof_value) != simdjson::SUCCESS) {
        return bad_consistency(std::string("not a consistency document: an object with exactly the members "
                                           "consistency (\"") +
                               std::string(kConsistencyFormat) + "\"), old_checkpoint, new_checkpoint and proof");
    }
    auto old_checkpoint = open_named_checkpoint(old_note, key, "the old checkpoint: ");
    if (!old_checkpoint) return std::unexpected(std::move(old_checkpoint.error()));
    auto new_checkpoint = open_named_checkpoint(new_note, key, "the new checkpoint: ");
    if (!new_checkpoint) return std::unexpected(std::move(new_checkpoint.error()));
    if (old_checkpoint->size > new_checkpoint->size) {
        return std::unexpected(TrailError::proof_refused(
            "the old checkpoint covers " + std::to_string(old_checkpoint->size) + " entries, more than the new one's " +
            std::to_string(new_checkpoint->size)));
    }
    auto proof = read_proof(proof_value);
    if (!proof) return bad_consistency("proof: " + proof.error());
    if (auto consistent = merkle::verify_consistency(old_checkpoint->size, new_checkpoint->size, old_checkpoint->root,
                                                     new_checkpoint->root, *proof);
        !consistent) {
        return std::unexpected(TrailError::proof_refused(
            "the proof does not show that the new checkpoint's tree extends the old one's: " +
            consistent.error().message()));
    }
    return ConsistencySummary{old_checkpoint->origin, old_checkpoint->size, new_checkpoint->size};
}

}  // namespace corvel

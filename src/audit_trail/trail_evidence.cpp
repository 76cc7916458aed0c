#include "audit_trail/trail_evidence.hpp"

#include <fcntl.h>
#include <simdjson.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <vector>

#include "note/base64.hpp"
#include "merkle/file_node_store.hpp"
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
#include "audit_trail/trail_tree.hpp"

namespace corvel {

namespace {

namespace dom = simdjson::dom;

std::unexpected<TrailError> refused(std::string why) { return std::unexpected(TrailError::checkpoint(std::move(why))); }

std::expected<std::string, TrailError> read_small_file(const std::string& path) {
    auto file = open_trail_file(path, O_RDONLY);
    if (!file) return std::unexpected(TrailError::audit(std::move(file.error())));
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(file->get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return std::unexpected(TrailError::audit(AuditError::io_error(errno)));
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
        return refused("no checkpoint beside the trail (" + path + "): open the trail with a checkpoint origin, "
                       "or sync it once");
    }
    auto parsed = parse_note(*note);
    if (!parsed) return refused(path + ": " + parsed.error().message());
    auto checkpoint = Checkpoint::parse(parsed->text);
    if (!checkpoint) return refused(path + ": " + checkpoint.error().message());
    return Beside{std::move(*note), std::move(*checkpoint)};
}

std::expected<merkle::MerkleTree, TrailError> tree_beside(const std::string& trail_path, const Checkpoint& checkpoint) {
    auto store = merkle::FileNodeStore::open(tree_path_for(trail_path));
    if (!store) return std::unexpected(TrailError::no_tree(store.error().message()));
    auto tree = merkle::MerkleTree::open(std::move(*store));
    if (!tree) return std::unexpected(TrailError::no_tree(tree.error().message()));
    if (tree->size() < checkpoint.size) {
        return std::unexpected(TrailError::no_tree("it holds fewer leaves than the checkpoint; reopen the trail"));
    }
    if (auto checked = tree->check_root(checkpoint.size, checkpoint.root); !checked) {
        return std::unexpected(TrailError::no_tree("it disagrees with the checkpoint; reopen the trail to rebuild it"));
    }
    return std::move(*tree);
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

std::expected<std::vector<merkle::Hash>, TrailError> read_proof(dom::element value) {
    dom::array array;
    if (value.get(array) != simdjson::SUCCESS) return refused("the proof is not a list of base64 hashes");
    std::vector<merkle::Hash> out;
    for (const auto item : array) {
        std::string_view text;
        if (item.get(text) != simdjson::SUCCESS) return refused("the proof is not a list of base64 hashes");
        const auto bytes = base64_decode(text);
        if (!bytes || bytes->size() != 32) return refused("a proof hash is not 32 bytes of base64");
        merkle::Hash hash;
        std::copy(bytes->begin(), bytes->end(), hash.begin());
        out.push_back(hash);
    }
    return out;
}

}  // namespace

std::expected<std::string, TrailError> prove_entry(const std::string& trail_path, std::uint64_t index) {
    auto beside = checkpoint_beside(trail_path);
    if (!beside) return std::unexpected(std::move(beside.error()));
    const Checkpoint& checkpoint = beside->checkpoint;
    if (index >= checkpoint.size) {
        return refused("entry " + std::to_string(index) + " is not covered by the checkpoint, which holds " +
                       entries_text(checkpoint.size));
    }
    auto tree = tree_beside(trail_path, checkpoint);
    if (!tree) return std::unexpected(std::move(tree.error()));
    auto proof = tree->inclusion_proof(index, checkpoint.size);
    if (!proof) return std::unexpected(TrailError::no_tree(proof.error().message()));

    auto file = open_trail_file(trail_path, O_RDONLY);
    if (!file) return std::unexpected(TrailError::audit(std::move(file.error())));
    struct stat metadata;
    if (::fstat(file->get(), &metadata) != 0) return std::unexpected(TrailError::audit(AuditError::io_error(errno)));
    auto line = LineFinder(file->get(), static_cast<std::uint64_t>(metadata.st_size)).entry_line(index);
    if (!line) return std::unexpected(std::move(line.error()));

    // The entry must be the one the tree holds: its own hash, and the tree's leaf.
    line->append(TrailEntryParser::kPadding, ' ');
    TrailEntryParser parser;
    auto entry = parser.parse(std::string_view(*line).substr(0, line->size() - TrailEntryParser::kPadding));
    line->resize(line->size() - TrailEntryParser::kPadding);
    if (!entry) return std::unexpected(TrailError::audit(AuditError::serialization_error(entry.error())));
    const auto leaf = tree->leaf(index);
    if (entry_hash(*entry) != entry->entry.current_hash || !leaf ||
        *leaf != merkle::leaf_hash(entry->entry.current_hash)) {
        return std::unexpected(TrailError::not_the_prefix("entry " + std::to_string(index) +
                                                          " in the file is not the one the tree holds"));
    }

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

std::expected<EvidenceSummary, TrailError> verify_evidence(std::string_view evidence, const VerifierKey& key) {
    dom::parser parser;
    dom::element root;
    if (parser.parse(simdjson::padded_string(evidence)).get(root) != simdjson::SUCCESS) {
        return refused("the evidence is not valid JSON");
    }
    std::string_view format, note;
    dom::element entry_value, proof_value;
    std::uint64_t tree_size = 0;
    dom::object object;
    if (root.get(object) != simdjson::SUCCESS || object.size() != 5 ||
        object["evidence"].get(format) != simdjson::SUCCESS || format != kEvidenceFormat ||
        object["entry"].get(entry_value) != simdjson::SUCCESS ||
        object["tree_size"].get(tree_size) != simdjson::SUCCESS ||
        object["inclusion_proof"].get(proof_value) != simdjson::SUCCESS ||
        object["checkpoint"].get(note) != simdjson::SUCCESS) {
        return refused(std::string("not an evidence document: an object with exactly the members evidence (\"") +
                       std::string(kEvidenceFormat) + "\"), entry, tree_size, inclusion_proof and checkpoint");
    }

    // The entry is read back through the DOM, which loses the sign of "-0": look at the text.
    if (has_minus_outside_strings(evidence)) {
        return std::unexpected(TrailError::audit(AuditError::serialization_error(
            "evidence: a number with a minus sign (no number in evidence is negative, not even -0)")));
    }

    auto checkpoint = verify_checkpoint(note, key);
    if (!checkpoint) return refused(checkpoint.error().message());
    // One key may sign several trails: a checkpoint of another origin is another trail's.
    if (checkpoint->origin != key.name) {
        return refused("the checkpoint's origin \"" + checkpoint->origin + "\" is not the verifier key's name \"" +
                       key.name + "\"");
    }
    if (checkpoint->size != tree_size) return refused("tree_size is not the checkpoint's size");

    std::string line = simdjson::minify(entry_value);
    const std::size_t length = line.size();
    line.append(TrailEntryParser::kPadding, ' ');
    TrailEntryParser entry_parser;
    auto entry = entry_parser.parse(std::string_view(line).substr(0, length));
    if (!entry) return std::unexpected(TrailError::audit(AuditError::serialization_error(entry.error())));
    const AuditEntry& e = entry->entry;
    const Hash32 computed = entry_hash(*entry);
    if (computed != e.current_hash) return std::unexpected(TrailError::audit(AuditError::chain_broken(e.index, computed, e.current_hash)));
    const auto message = signature_message(e.current_hash);
    if (e.signature.size() != crypto_sign_BYTES ||
        crypto_sign_verify_detached(e.signature.data(), message.data(), message.size(), key.public_key.data()) != 0) {
        return std::unexpected(TrailError::audit(AuditError::invalid_signature(e.index)));
    }

    auto proof = read_proof(proof_value);
    if (!proof) return std::unexpected(std::move(proof.error()));
    if (auto included = merkle::verify_inclusion(e.index, tree_size, merkle::leaf_hash(e.current_hash), *proof,
                                                 checkpoint->root);
        !included) {
        return std::unexpected(TrailError::not_the_prefix("the inclusion proof does not lead to the checkpoint's root: " +
                                                          included.error().message()));
    }
    return EvidenceSummary{e.index, tree_size, checkpoint->origin, e.current_hash};
}

std::expected<std::string, TrailError> prove_consistency(std::string_view old_checkpoint_note,
                                                         const std::string& trail_path) {
    auto parsed = parse_note(old_checkpoint_note);
    if (!parsed) return refused("the old checkpoint: " + parsed.error().message());
    auto old_checkpoint = Checkpoint::parse(parsed->text);
    if (!old_checkpoint) return refused("the old checkpoint: " + old_checkpoint.error().message());
    auto beside = checkpoint_beside(trail_path);
    if (!beside) return std::unexpected(std::move(beside.error()));
    const Checkpoint& current = beside->checkpoint;
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
    auto tree = tree_beside(trail_path, current);
    if (!tree) return std::unexpected(std::move(tree.error()));
    auto proof = tree->consistency_proof(old_checkpoint->size, current.size);
    if (!proof) return std::unexpected(TrailError::no_tree(proof.error().message()));
    if (auto consistent = merkle::verify_consistency(old_checkpoint->size, current.size, old_checkpoint->root,
                                                     current.root, *proof);
        !consistent) {
        return std::unexpected(TrailError::not_the_prefix(
            "the trail does not extend the old checkpoint (rewritten, cut and regrown, or forked): " +
            consistent.error().message()));
    }
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

}  // namespace corvel

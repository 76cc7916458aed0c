#include "audit_trail/trail_proof_tree.hpp"

#include <unistd.h>

#include <cerrno>
#include <memory>

#include "audit_trail/trail_file.hpp"
#include "audit_trail/trail_json.hpp"
#include "audit_trail/trail_tree.hpp"
#include "merkle/file_node_store.hpp"
#include "merkle/merkle_hash.hpp"
#include "merkle/node_store.hpp"

namespace corvel {

namespace {

// Reads a file line by line from the start, in blocks.
class LineReader {
public:
    explicit LineReader(int fd) : fd_(fd) {}

    // The next line without its newline, valid until the next call; none at the end of the
    // file (an unterminated last line included: the trail's last line always ends in one).
    std::expected<std::optional<std::string_view>, int> next() {
        for (;;) {
            if (const std::size_t end = buffer_.find('\n', scanned_); end != std::string::npos) {
                const std::string_view line(buffer_.data() + start_, end - start_);
                start_ = scanned_ = end + 1;
                return line;
            }
            if (buffer_.size() - start_ > kMaxEntryLine + 2) return std::unexpected(EFBIG);
            buffer_.erase(0, start_);
            start_ = 0;
            scanned_ = buffer_.size();
            char block[1 << 16];
            const ssize_t got = ::read(fd_, block, sizeof block);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) return std::unexpected(errno);
            if (got == 0) return std::optional<std::string_view>();
            buffer_.append(block, static_cast<std::size_t>(got));
        }
    }

private:
    int fd_;
    std::string buffer_;
    std::size_t start_ = 0;    // where the next line starts
    std::size_t scanned_ = 0;  // where the search for its newline resumes
};

}  // namespace

std::optional<merkle::MerkleTree> tree_beside(const std::string& trail_path, const Checkpoint& checkpoint) {
    auto store = merkle::FileNodeStore::open_read_only(tree_path_for(trail_path));
    if (!store) return std::nullopt;
    auto tree = merkle::MerkleTree::open(std::move(*store));
    if (!tree || tree->size() < checkpoint.size || !tree->check_root(checkpoint.size, checkpoint.root)) {
        return std::nullopt;
    }
    return std::move(*tree);
}

// One leaf per entry line, leaf_hash(current_hash). The root must be the checkpoint's, so the
// proofs read from it are the checkpoint's whatever else the file holds.
std::expected<merkle::MerkleTree, TrailError> rebuild_tree(const std::string& trail_path,
                                                           const Checkpoint& checkpoint,
                                                           const TrailProgress& progress) {
    auto file = open_trail_for_reading(trail_path);
    if (!file) return std::unexpected(TrailError::audit(std::move(file.error())));
    auto tree = merkle::MerkleTree::open(std::make_unique<merkle::MemoryNodeStore>());
    if (!tree) return std::unexpected(TrailError::no_tree(tree.error().message()));
    LineReader lines(file->get());
    TrailEntryParser parser;
    std::string padded;
    for (std::uint64_t number = 1; tree->size() < checkpoint.size; ++number) {
        auto line = lines.next();
        if (!line) return std::unexpected(TrailError::audit(io_error_naming(trail_path, line.error())));
        if (!*line || **line == "]") break;
        if (number == 1 && **line == "[") continue;
        if (progress && number % 8192 == 0 && !progress(number, checkpoint.size)) {
            return std::unexpected(TrailError::audit(AuditError::serialization_error("verification stopped")));
        }
        std::string_view text = **line;
        if (text.ends_with(',')) text.remove_suffix(1);
        padded.assign(text);
        padded.append(TrailEntryParser::kPadding, ' ');
        auto entry = parser.parse(std::string_view(padded).substr(0, text.size()));
        if (!entry || entry->entry.index != tree->size()) {
            return std::unexpected(TrailError::audit(AuditError::serialization_error(
                trail_path + ": line " + std::to_string(number) + " is not entry " + std::to_string(tree->size()) +
                (entry ? std::string() : " (" + entry.error() + ")"))));
        }
        if (auto added = tree->append(merkle::leaf_hash(entry->entry.current_hash)); !added) {
            return std::unexpected(TrailError::no_tree(added.error().message()));
        }
    }
    const std::string size = std::to_string(checkpoint.size);
    if (tree->size() < checkpoint.size) {
        return std::unexpected(TrailError::not_the_prefix("the checkpoint beside it covers " + size +
                                                          " entries, the file holds " + std::to_string(tree->size()) +
                                                          ": it was cut short"));
    }
    if (tree->root() != checkpoint.root) {
        return std::unexpected(TrailError::not_the_prefix(
            "its first " + size + " entries do not give the root of the checkpoint beside it: an entry was "
            "rewritten, or the checkpoint is another trail's"));
    }
    return std::move(*tree);
}

}  // namespace corvel

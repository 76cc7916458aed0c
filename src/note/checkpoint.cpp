#include "note/checkpoint.hpp"

#include <algorithm>
#include <charconv>

#include "note/base64.hpp"
#include "note/signed_note.hpp"

namespace corvel {

namespace {

std::unexpected<NoteError> bad(std::string detail) {
    return std::unexpected(NoteError(NoteError::Kind::BadCheckpoint, std::move(detail)));
}

// Empty when `line` may be a line of a checkpoint.
std::string line_problem(std::string_view line, std::string_view what) {
    if (line.empty()) return std::string(what) + " is empty";
    if (line.find('\n') != std::string_view::npos) return std::string(what) + " holds a newline";
    if (std::string problem = note_text_problem(line); !problem.empty()) return std::string(what) + ": " + problem;
    return {};
}

// An origin is also the name of the log's note key, so it holds no space of any kind.
std::string origin_problem(std::string_view origin) {
    if (std::string problem = line_problem(origin, "the origin"); !problem.empty()) return problem;
    if (std::string problem = space_problem(origin); !problem.empty()) return "the origin: " + problem;
    return {};
}

}  // namespace

std::expected<std::string, NoteError> Checkpoint::text() const {
    if (std::string problem = origin_problem(origin); !problem.empty()) return bad(problem);
    std::string out = origin + "\n" + std::to_string(size) + "\n" + base64_encode(root) + "\n";
    for (std::size_t i = 0; i < extensions.size(); ++i) {
        std::string problem = line_problem(extensions[i], "extension line " + std::to_string(i + 1));
        if (!problem.empty()) return bad(problem);
        out += extensions[i];
        out += '\n';
    }
    return out;
}

std::expected<Checkpoint, NoteError> Checkpoint::parse(std::string_view text) {
    if (text.empty() || text.back() != '\n') return bad("the text does not end in a newline");
    if (std::string problem = note_text_problem(text); !problem.empty()) return bad(problem);
    std::vector<std::string_view> lines;
    for (std::string_view rest = text; !rest.empty();) {
        const std::size_t end = rest.find('\n');
        lines.push_back(rest.substr(0, end));
        rest.remove_prefix(end + 1);
    }
    if (lines.size() < 3) return bad("fewer than three lines");

    Checkpoint out;
    if (std::string problem = origin_problem(lines[0]); !problem.empty()) return bad(problem);
    out.origin = std::string(lines[0]);

    const std::string_view size = lines[1];
    const bool digits = !size.empty() && std::ranges::all_of(size, [](char c) { return c >= '0' && c <= '9'; });
    if (!digits) return bad("the size is not a decimal number");
    if (size.size() > 1 && size[0] == '0') return bad("the size has a leading zero");
    const auto [end, error] = std::from_chars(size.data(), size.data() + size.size(), out.size);
    if (error != std::errc() || end != size.data() + size.size()) return bad("the size does not fit in 64 bits");

    const auto root = base64_decode(lines[2]);
    if (!root) return bad("the root hash is not canonical base64");
    if (root->size() != out.root.size()) return bad("the root hash is " + std::to_string(root->size()) + " bytes, not 32");
    std::copy(root->begin(), root->end(), out.root.begin());

    for (std::size_t i = 3; i < lines.size(); ++i) {
        if (lines[i].empty()) return bad("extension line " + std::to_string(i - 2) + " is empty");
        out.extensions.emplace_back(lines[i]);
    }
    return out;
}

std::expected<std::string, NoteError> sign_checkpoint(const Checkpoint& checkpoint, const NoteSigner& signer) {
    auto text = checkpoint.text();
    if (!text) return std::unexpected(text.error());
    return sign_note(*text, signer);
}

std::expected<Checkpoint, NoteError> verify_checkpoint(std::string_view note, const VerifierKey& key,
                                                       std::string_view expected_origin) {
    auto opened = open_note(note, std::span<const VerifierKey>(&key, 1));
    if (!opened) return std::unexpected(opened.error());
    auto checkpoint = Checkpoint::parse(opened->text);
    if (!checkpoint) return std::unexpected(checkpoint.error());
    if (!expected_origin.empty() && checkpoint->origin != expected_origin) {
        return std::unexpected(NoteError(NoteError::Kind::OriginMismatch, checkpoint->origin));
    }
    return checkpoint;
}

}  // namespace corvel

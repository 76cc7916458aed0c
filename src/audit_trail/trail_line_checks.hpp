#pragma once
// The per-entry work of a scan spread over the machine's cores: the scan hands over chunks of
// whole lines in file order; a worker reads each entry of a chunk, recomputes its hash and
// checks its signatures, and leaves one verdict per line. The scan takes the chunks back in
// file order, so what must stay sequential (layout, index continuity, the chain, nonce
// uniqueness, the Merkle range) stays so and costs little. A bounded number of chunks is in
// flight, so memory stays constant in the trail's size.
//
// A verdict only ever lets the scan skip work: a line without a sound verdict is read and
// checked again by the scan itself, which so reports every failure as a scan of one line at a
// time does.

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>
#include <vector>

#include "base/bytes.hpp"
#include "crypto/key_store.hpp"

namespace corvel {

// What a worker found for one line.
struct LineVerdict {
    // The line is an entry that passed every check of check_entry at its position but the
    // chain, which the scan checks with prev_hash.
    bool sound = false;
    Hash32 prev_hash{};
    Hash32 current_hash{};
    Nonce nonce{};
};

// Whole lines copied out of the file, each followed by its line feed, and their verdicts.
class LineChunk {
public:
    struct Line {
        std::uint64_t offset = 0;  // in the file
        std::size_t start = 0;     // in the chunk
        std::size_t size = 0;      // without the line feed
        bool terminated = false;   // ended by a line feed rather than by the end of the file
    };

    void reset(std::uint64_t first_line_number);
    void add(std::string_view text, std::uint64_t offset, bool terminated);
    // Ends the filling: the texts are then followed in memory by the parsers' padding.
    void seal();

    std::size_t bytes() const { return text_.size(); }
    std::size_t size() const { return lines_.size(); }
    std::uint64_t first_line_number() const { return first_line_number_; }
    const Line& line(std::size_t i) const { return lines_[i]; }
    std::string_view text(std::size_t i) const { return {text_.data() + lines_[i].start, lines_[i].size}; }
    const LineVerdict& verdict(std::size_t i) const { return verdicts_[i]; }
    std::vector<LineVerdict>& verdicts() { return verdicts_; }

private:
    std::vector<char> text_;
    std::vector<Line> lines_;
    std::vector<LineVerdict> verdicts_;
    std::uint64_t first_line_number_ = 0;
};

class EntryLineChecks {
public:
    // Entries at positions from `signatures_from` on have their own signature checked; a gate's
    // signatures are checked everywhere. With `threads` below 2 every chunk is checked on the
    // caller's thread when it is submitted.
    EntryLineChecks(const PublicKey& key, std::uint64_t signatures_from, unsigned threads);
    ~EntryLineChecks();
    EntryLineChecks(const EntryLineChecks&) = delete;
    EntryLineChecks& operator=(const EntryLineChecks&) = delete;

    // Whether another chunk may be filled now.
    bool has_room() const { return submitted_ - released_ < slots_.size(); }
    // A chunk to fill (only when has_room()), lines from `first_line_number` on; submit()
    // hands it over.
    LineChunk& start_chunk(std::uint64_t first_line_number);
    void submit();
    // The oldest submitted chunk once checked (waiting for it), or null when none is left. It
    // stays the caller's until release().
    const LineChunk* next_checked();
    void release();

    // A chunk holds about this many bytes of lines (more for one long line).
    static constexpr std::size_t kChunkBytes = std::size_t{1} << 18;

private:
    struct Slot {
        LineChunk chunk;
        bool checked = false;  // guarded by mutex_
    };

    Slot& slot(std::uint64_t sequence) { return *slots_[sequence % slots_.size()]; }
    void check(LineChunk& chunk) const;
    void work();

    PublicKey key_;
    std::uint64_t signatures_from_;
    // A ring: chunks are submitted, checked and released in order. Those from released_ to
    // submitted_ are in use; the caller holds the one at released_ while holding_.
    std::vector<std::unique_ptr<Slot>> slots_;
    std::uint64_t submitted_ = 0;
    std::uint64_t released_ = 0;
    bool holding_ = false;
    std::uint64_t dispatched_ = 0;  // taken by a worker; guarded by mutex_
    std::mutex mutex_;
    std::condition_variable ready_;    // a chunk was submitted, or stopping
    std::condition_variable checked_;  // a chunk was checked
    bool stopping_ = false;
    std::vector<std::thread> workers_;
};

}  // namespace corvel

#include "audit_trail/trail_line_checks.hpp"

#include "audit_trail/trail_error.hpp"
#include "audit_trail/trail_json.hpp"
#include "audit_trail/trail_json_fast.hpp"
#include "audit_trail/trail_scan.hpp"

namespace corvel {

void LineChunk::reset(std::uint64_t first_line_number) {
    // One very long line leaves a large buffer behind: it is not kept for the next chunks.
    if (text_.capacity() > 4 * EntryLineChecks::kChunkBytes) std::vector<char>().swap(text_);
    text_.clear();
    lines_.clear();
    first_line_number_ = first_line_number;
}

void LineChunk::add(std::string_view text, std::uint64_t offset, bool terminated) {
    lines_.push_back(Line{offset, text_.size(), text.size(), terminated});
    text_.insert(text_.end(), text.begin(), text.end());
    text_.push_back('\n');
}

void LineChunk::seal() {
    text_.insert(text_.end(), TrailEntryParser::kPadding, ' ');
    verdicts_.assign(lines_.size(), LineVerdict{});
}

EntryLineChecks::EntryLineChecks(const PublicKey& key, std::uint64_t signatures_from, unsigned threads)
    : key_(key), signatures_from_(signatures_from) {
    // Two chunks per thread keep every thread busy while the caller fills and takes back others.
    const std::size_t slots = threads < 2 ? 1 : 2 * std::size_t{threads} + 2;
    slots_.reserve(slots);
    for (std::size_t i = 0; i < slots; ++i) slots_.push_back(std::make_unique<Slot>());
    if (threads < 2) return;
    workers_.reserve(threads);
    for (unsigned i = 0; i < threads; ++i) workers_.emplace_back([this] { work(); });
}

EntryLineChecks::~EntryLineChecks() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    ready_.notify_all();
    for (auto& worker : workers_) worker.join();
}

LineChunk& EntryLineChecks::start_chunk(std::uint64_t first_line_number) {
    LineChunk& chunk = slot(submitted_).chunk;
    chunk.reset(first_line_number);
    return chunk;
}

void EntryLineChecks::submit() {
    Slot& filled = slot(submitted_);
    filled.chunk.seal();
    if (workers_.empty()) {
        check(filled.chunk);
        filled.checked = true;
        ++submitted_;
        return;
    }
    {
        std::lock_guard lock(mutex_);
        filled.checked = false;
        ++submitted_;
    }
    ready_.notify_one();
}

void EntryLineChecks::release() {
    if (!holding_) return;
    ++released_;
    holding_ = false;
}

const LineChunk* EntryLineChecks::next_checked() {
    release();
    if (released_ == submitted_) return nullptr;
    Slot& next = slot(released_);
    if (!workers_.empty()) {
        std::unique_lock lock(mutex_);
        checked_.wait(lock, [&next] { return next.checked; });
    }
    holding_ = true;
    return &next.chunk;
}

void EntryLineChecks::work() {
    for (;;) {
        Slot* taken = nullptr;
        {
            std::unique_lock lock(mutex_);
            ready_.wait(lock, [this] { return stopping_ || dispatched_ < submitted_; });
            if (stopping_) return;
            taken = &slot(dispatched_++);
        }
        check(taken->chunk);
        {
            std::lock_guard lock(mutex_);
            taken->checked = true;
        }
        checked_.notify_all();
    }
}

// The scan's per-line rules as far as one line alone decides them: line 1 is the opening
// bracket, an entry line may end in a comma and must fit the limit. Anything these miss, the
// scan meets itself when it reads the line again.
void EntryLineChecks::check(LineChunk& chunk) const {
    TrailEntry entry;
    std::vector<LineVerdict>& verdicts = chunk.verdicts();
    for (std::size_t i = 0; i < chunk.size(); ++i) {
        const std::uint64_t line_number = chunk.first_line_number() + i;
        if (line_number < 2) continue;
        std::string_view text = chunk.text(i);
        if (!text.empty() && text.back() == ',') text.remove_suffix(1);
        if (text.size() > kMaxEntryLine || !read_entry_quickly(text, entry)) continue;
        const std::uint64_t position = line_number - 2;
        if (!check_entry(entry, position, entry.entry.prev_hash, key_, position >= signatures_from_)) continue;
        verdicts[i] = LineVerdict{true, entry.entry.prev_hash, entry.entry.current_hash, entry.entry.proof.nonce};
    }
}

}  // namespace corvel

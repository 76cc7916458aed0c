#include "audit_log/json_reader.hpp"

#include <simdjson.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <optional>

#include "audit_log/entry_reader.hpp"
#include "audit_log/json_lexing.hpp"
#include "audit_log/json_syntax.hpp"

namespace corvel {

namespace od = simdjson::ondemand;
using namespace audit_json;

namespace {

// Entries are parsed in batches of about this many bytes of text.
constexpr std::size_t kBatchBytes = std::size_t{1} << 20;
// An entry longer than this has its syntax checked as it arrives, so that junk is refused
// before it is buffered; real entries are a few KiB.
constexpr std::size_t kCheckedEntryBytes = std::size_t{64} << 10;

}  // namespace

// The outer array is followed here: where it opens, where each entry ends (a
// comma or the closing bracket outside any string and at nesting depth 0) and that nothing
// follows it. The entries themselves go to simdjson in batches, each wrapped in brackets. A
// batch is accepted only if simdjson reads it as a valid array with exactly the entries cut
// out of it, so a cut in a wrong place can only turn into an error, never into a wrong log.
class AuditJsonReader::Impl {
public:
    std::span<char> input_space(std::size_t size) {
        compact();
        if (capacity_ - length_ < size) {
            const std::size_t wanted = std::max(length_ + size, capacity_ * 2);
            auto grown = std::make_unique<char[]>(wanted);
            if (length_ != 0) std::memcpy(grown.get(), buffer_.get(), length_);
            buffer_ = std::move(grown);
            capacity_ = wanted;
        }
        return {buffer_.get() + length_, capacity_ - length_};
    }

    std::expected<void, std::string> commit(std::size_t size) {
        if (phase_ == Phase::Failed) return std::unexpected(error_);
        length_ += std::min(size, capacity_ - length_);
        if (!scan()) return std::unexpected(error_);
        return {};
    }

    std::expected<std::vector<AuditEntry>, std::string> finish() {
        switch (phase_) {
            case Phase::Failed: return std::unexpected(error_);
            case Phase::BeforeArray: return std::unexpected(std::string("EOF while parsing a value"));
            case Phase::BeforeElement:
            case Phase::InElement: return std::unexpected(std::string("EOF while parsing a list"));
            case Phase::AfterArray: break;
        }
        return std::move(entries_);
    }

private:
    enum class Phase : std::uint8_t { BeforeArray, BeforeElement, InElement, AfterArray, Failed };

    bool fail(std::string message) {
        error_ = std::move(message);
        phase_ = Phase::Failed;
        return false;
    }

    bool fail_at(std::string message, std::size_t position) {
        return fail(std::move(message) + " at byte " + std::to_string(consumed_ + position));
    }

    // Drops the bytes that are no longer needed: everything before the first entry not yet
    // parsed, or before the scan position when no entry is open.
    void compact() {
        const bool holding = phase_ == Phase::InElement || !pending_ends_.empty();
        const std::size_t keep_from = holding ? pending_start_ : scanned_;
        if (keep_from == 0) return;
        std::memmove(buffer_.get(), buffer_.get() + keep_from, length_ - keep_from);
        length_ -= keep_from;
        scanned_ -= keep_from;
        if (holding) pending_start_ -= keep_from;
        if (phase_ == Phase::InElement) element_start_ -= keep_from;
        if (checking_) checked_ -= keep_from;
        for (std::size_t& end : pending_ends_) end -= keep_from;
        consumed_ += keep_from;
    }

    bool scan() {
        const auto* data = reinterpret_cast<const unsigned char*>(buffer_.get());
        std::size_t i = scanned_;
        while (i < length_) {
            const unsigned char c = data[i];
            switch (phase_) {
                case Phase::BeforeArray:
                    if (c == '[') {
                        phase_ = Phase::BeforeElement;
                    } else if (!is_json_space(c)) {
                        return fail_at("expected `[` (a JSON array of audit entries)", i);
                    }
                    ++i;
                    break;
                case Phase::BeforeElement:
                    if (is_json_space(c)) {
                        ++i;
                    } else if (c == ']') {
                        if (after_comma_) return fail_at("trailing comma", i);
                        phase_ = Phase::AfterArray;
                        ++i;
                    } else if (c == ',') {
                        return fail_at("expected value", i);
                    } else {
                        if (pending_ends_.empty()) pending_start_ = i;
                        if (const std::string why = not_an_entry(c); !why.empty()) {
                            if (why == "expected value") return refuse_at(why, i);
                            return refuse(why + " at entry " + std::to_string(open_index()));
                        }
                        element_start_ = i;
                        checking_ = false;
                        depth_ = 0;
                        in_string_ = false;
                        escaped_ = false;
                        phase_ = Phase::InElement;
                    }
                    break;
                case Phase::InElement:
                    i = scan_element(data, i);
                    if (phase_ == Phase::Failed) return false;
                    if (!check_syntax(data, i)) return false;
                    if (phase_ == Phase::InElement) break;  // the entry goes on in the next input
                    // The entry ended at data[i]: a comma or the closing bracket.
                    pending_ends_.push_back(i);
                    ++i;
                    if (phase_ == Phase::AfterArray || i - pending_start_ >= kBatchBytes) {
                        if (!flush()) return false;
                    }
                    break;
                case Phase::AfterArray:
                    if (!is_json_space(c)) return fail_at("trailing characters", i);
                    ++i;
                    break;
                case Phase::Failed: return false;
            }
        }
        scanned_ = i;
        return true;
    }

    // The index in the array of the entry being cut.
    std::uint64_t open_index() const { return first_pending_index_ + pending_ends_.size(); }

    // A fault in the entry being cut: the entries before it are read first, so that their own
    // faults are reported in file order.
    bool refuse(std::string message) {
        if (!pending_ends_.empty() && !flush()) return false;
        return fail(std::move(message));
    }

    bool refuse_at(const std::string& message, std::size_t position) {
        return refuse(message + " at byte " + std::to_string(consumed_ + position));
    }

    // Checks the syntax of the entry being cut up to `end` once it is longer than
    // kCheckedEntryBytes (or when `force`d), and its completeness when it has ended.
    bool check_syntax(const unsigned char* data, std::size_t end, bool force = false) {
        const bool ended = phase_ != Phase::InElement;
        if (!checking_) {
            if (!force && end - element_start_ <= kCheckedEntryBytes) return true;
            checking_ = true;
            check_ = JsonSyntaxCheck();
            checked_ = element_start_;
        }
        if (!check_.feed(data + checked_, end - checked_)) {
            return refuse_at(check_.error(), checked_ + check_.error_offset());
        }
        checked_ = end;
        if (ended) {
            checking_ = false;
            if (!check_.finish()) return refuse_at(check_.error(), end);
        }
        return true;
    }

    // Runs to the end of the current entry. Returns the position of the comma or bracket that
    // ends it (and moves to the next phase), or the end of the input. Inside a container only
    // quotes and brackets matter, so the scan jumps from one to the next.
    std::size_t scan_element(const unsigned char* data, std::size_t i) {
        while (i < length_) {
            if (in_string_) {
                if (escaped_) {
                    escaped_ = false;
                    ++i;
                    continue;
                }
                i = find_string_end(data, i, length_);
                if (i == length_) break;
                if (data[i] == '\\') {
                    escaped_ = true;
                } else {
                    in_string_ = false;
                }
                ++i;
                continue;
            }
            if (depth_ != 0) {
                i = find_nesting(data, i, length_);
                if (i == length_) break;
            }
            const unsigned char c = data[i];
            switch (kByteClass[c]) {
                case kPlain: break;
                case kQuote: in_string_ = true; break;
                case kOpen:
                    if (++depth_ > JsonSyntaxCheck::kMaxDepth) {
                        // A fault earlier in the entry comes first, whatever the input's pieces.
                        if (!check_syntax(data, i, true)) return i;
                        refuse("recursion limit exceeded at entry " + std::to_string(open_index()));
                        return i;
                    }
                    break;
                case kClose:
                    if (depth_ != 0) {
                        --depth_;
                        break;
                    }
                    if (c != ']') {
                        if (check_syntax(data, i, true)) fail_at("unexpected `}`", i);
                        return i;
                    }
                    phase_ = Phase::AfterArray;
                    return i;
                case kComma:
                    if (depth_ != 0) break;
                    phase_ = Phase::BeforeElement;
                    after_comma_ = true;
                    return i;
            }
            ++i;
        }
        return i;
    }

    std::size_t element_start(std::size_t k) const { return k == 0 ? pending_start_ : pending_ends_[k - 1] + 1; }

    // Parses the entries cut so far.
    bool flush() {
        const std::size_t count = pending_ends_.size();
        bool located = true;
        std::optional<std::string> error = parse(0, count, located);
        if (error && !located) {
            // A fault found before any entry was read (invalid UTF-8, say) is pinned down by
            // reading the entries one at a time.
            for (std::size_t k = 0; k < count; ++k) {
                if (auto single = parse(k, k + 1, located)) {
                    error = std::move(single);
                    break;
                }
            }
        }
        if (error) return fail(std::move(*error));
        first_pending_index_ += count;
        pending_ends_.clear();
        return true;
    }

    // Parses entries [first, last) of the pending ones. `located` tells whether the error
    // belongs to a known entry.
    std::optional<std::string> parse(std::size_t first, std::size_t last, bool& located) {
        const std::size_t start = element_start(first);
        const std::size_t size = pending_ends_[last - 1] - start;
        const std::size_t wanted = size + 2 + simdjson::SIMDJSON_PADDING;
        if (batch_capacity_ < wanted) {
            batch_.reset();
            batch_ = std::make_unique<char[]>(wanted);
            batch_capacity_ = wanted;
        }
        batch_[0] = '[';
        std::memcpy(batch_.get() + 1, buffer_.get() + start, size);
        batch_[size + 1] = ']';

        const std::uint64_t base_index = first_pending_index_ + first;
        // An entry counted past the cut ones still lies in the last of them.
        const auto at_entry = [&](const std::string& what, std::size_t k) {
            return what + " at entry " + std::to_string(base_index + std::min(k, last - first - 1));
        };

        // Room to spare, so that batches of slightly varying size do not reallocate each time.
        if (parser_.capacity() < size + 2) {
            if (auto code = parser_.allocate(size + 2 + (size + 2) / 4)) {
                located = true;
                return at_entry(describe(code), 0);
            }
        }
        od::document document;
        if (auto code = parser_.iterate(simdjson::padded_string_view(batch_.get(), size + 2, batch_capacity_))
                            .get(document)) {
            located = last - first == 1;
            return at_entry(describe(code), 0);
        }
        located = true;
        od::array array;
        if (auto code = document.get_array().get(array)) return at_entry(describe(code), 0);

        const std::size_t kept = entries_.size();
        std::size_t k = 0;
        for (auto item : array) {
            od::value value;
            EntryReader reader;
            if (auto code = std::move(item).get(value)) {
                entries_.resize(kept);
                return at_entry(describe(code), k);
            }
            if (!reader.entry(value, entries_.emplace_back())) {
                entries_.resize(kept);
                return reader.message(base_index + std::min(k, last - first - 1));
            }
            ++k;
        }
        // The cut and the parser must agree on every entry boundary.
        const bool consumed_all = document.current_location().error() == simdjson::OUT_OF_BOUNDS;
        if (k != last - first || !consumed_all) {
            entries_.resize(kept);
            return at_entry("invalid JSON syntax", k);
        }
        return std::nullopt;
    }

    std::unique_ptr<char[]> buffer_;
    std::size_t capacity_ = 0;
    std::size_t length_ = 0;
    std::size_t scanned_ = 0;
    std::uint64_t consumed_ = 0;  // bytes dropped from the front of buffer_

    Phase phase_ = Phase::BeforeArray;
    bool after_comma_ = false;
    std::uint64_t depth_ = 0;
    bool in_string_ = false;
    bool escaped_ = false;

    std::size_t pending_start_ = 0;            // where the first unparsed entry starts
    std::vector<std::size_t> pending_ends_;    // where each unparsed entry ends
    std::uint64_t first_pending_index_ = 0;    // its index in the array

    std::size_t element_start_ = 0;  // where the entry being cut starts
    bool checking_ = false;          // its syntax is being checked as it arrives
    std::size_t checked_ = 0;        // up to here
    JsonSyntaxCheck check_;

    std::unique_ptr<char[]> batch_;
    std::size_t batch_capacity_ = 0;
    od::parser parser_;
    std::vector<AuditEntry> entries_;
    std::string error_;
};

AuditJsonReader::AuditJsonReader() : impl_(std::make_unique<Impl>()) {}
AuditJsonReader::~AuditJsonReader() = default;

std::span<char> AuditJsonReader::input_space(std::size_t size) {
    return impl_->input_space(size);
}

std::expected<void, std::string> AuditJsonReader::commit(std::size_t size) {
    return impl_->commit(size);
}

std::expected<std::vector<AuditEntry>, std::string> AuditJsonReader::finish() {
    return impl_->finish();
}

std::expected<std::vector<AuditEntry>, std::string> parse_audit_entries(std::string_view json) {
    AuditJsonReader reader;
    const std::span<char> space = reader.input_space(json.size());
    if (!json.empty()) std::memcpy(space.data(), json.data(), json.size());
    if (auto taken = reader.commit(json.size()); !taken) return std::unexpected(taken.error());
    return reader.finish();
}

}  // namespace corvel

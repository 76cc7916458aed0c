// Reading a trail on every core and reading its lines quickly change nothing a check reports:
// the quick line reader gives the thorough parser's entry or leaves the line to it, and a scan
// spread over threads names the same first failure, at the same index, as a scan on one.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "audit_trail/trail_checkpoint.hpp"
#include "audit_trail/trail_json.hpp"
#include "audit_trail/trail_json_fast.hpp"
#include "audit_trail/trail_line_checks.hpp"
#include "audit_trail/trail_signatures.hpp"
#include "audit_trail/trail_verifier.hpp"
#include "audit_trail/trail_writer.hpp"
#include "support/test_util.hpp"

namespace corvel {
namespace {

namespace fs = std::filesystem;

std::uint64_t pinned_clock() { return 1'700'000'000; }

std::shared_ptr<const TrailKey> trail_key() {
    Seed seed{};
    seed.fill(5);
    return std::make_shared<const TrailKey>(TrailKey::from_seed(seed));
}

// Both parsers on one line, each with the padding the thorough one needs behind it.
struct BothParsers {
    std::expected<TrailEntry, std::string> combined;
    std::expected<TrailEntry, std::string> thorough;
};

BothParsers parse_both(std::string line) {
    const std::size_t size = line.size();
    line.append(TrailEntryParser::kPadding, ' ');
    const std::string_view text = std::string_view(line).substr(0, size);
    TrailEntryParser parser;
    return {parser.parse(text), parser.parse_thoroughly(text)};
}

std::string writer_line(const TrailEntry& entry) {
    std::string line;
    render_entry_json(line, entry);
    return line;
}

TrailEntry sample_entry() {
    const Action action{ActionType::custom("tool \"x\"\n\u00e9\U0001F600"), "target", Bytes{0, 9, 10, 99, 100, 255},
                        std::string("m\te\\ta\x01")};
    IntegrityProof proof = IntegrityProof::create(action, std::string(64, 'c'), 300, pinned_clock);
    proof.status = VerificationStatus::failed("why \"not\"");
    proof.signature.assign(64, 7);
    TrailEntry entry{AuditEntry{3, 1'700'000'000, action, proof, Decision::denied("no\u2028"), {}, {}, {}}, {}};
    DenialProof denial = DenialProof::create(action, "rule", "reason", 10, pinned_clock);
    denial.signature.assign(64, 4);
    entry.watchdog.hard_reset_signal = HardResetSignal{denial, "charter", Bytes(64, 2), 1'700'000'001, 10};
    entry.gate = GateCall{{"policy0", "p\u00e8"}, 10};
    entry.entry.prev_hash.fill(1);
    entry.entry.current_hash = entry_hash(entry);
    entry.entry.signature.assign(64, 3);
    return entry;
}

TEST(QuickLineReader, ReadsWhatTheWriterWritesAsTheThoroughParserDoes) {
    TrailEntry entry = sample_entry();
    std::vector<std::string> lines = {writer_line(entry)};
    entry.watchdog.hard_reset_signal.reset();
    entry.watchdog.denial_proof = DenialProof::create(entry.entry.action, "r", "d", 1, pinned_clock);
    entry.gate = GateOutcome{18'446'744'073'709'551'615u, true, Hash32{}};
    entry.entry.action.payload.reset();
    entry.entry.action.metadata.reset();
    entry.entry.proof.signature.clear();
    entry.entry.decision = Decision::approved();
    entry.entry.proof.status = VerificationStatus::tampered();
    lines.push_back(writer_line(entry));
    entry.watchdog = {};
    entry.gate.reset();
    entry.entry.action.action_type = ActionType(ActionKind::Network);
    entry.entry.proof.status = VerificationStatus::ok();
    lines.push_back(writer_line(entry));

    TrailEntry reused = sample_entry();  // room left over from another entry is reset
    for (const std::string& line : lines) {
        SCOPED_TRACE(line);
        ASSERT_TRUE(read_entry_quickly(line, reused));
        const auto thorough = parse_both(line).thorough;
        ASSERT_TRUE(thorough) << thorough.error();
        EXPECT_EQ(reused, *thorough);
    }
}

// Every variation either reads to the thorough parser's entry or is left to it, and the
// parse the scan uses answers exactly as the thorough parser: the same entry or the same text.
TEST(QuickLineReader, LeavesEverythingElseToTheThoroughParser) {
    const std::string line = writer_line(sample_entry());
    const auto replaced = [&](std::string_view from, std::string_view to) {
        std::string out = line;
        const std::size_t at = out.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        return out.replace(at, from.size(), to);
    };
    const std::vector<std::pair<std::string, bool>> variations = {
        // Accepted by both: white space, member order, escapes the writer does not use.
        {" \t" + replaced(",\"timestamp\":", " , \"timestamp\" :\t") + " \t", true},
        {replaced("\"target\":\"target\"", "\"target\":\"t\\u0061rg\\/et\"") , true},
        {replaced("\"target\":\"target\"", "\"target\":\"\\ud83d\\ude00\"") , true},
        {replaced("[0,9,10,99,100,255]", "[ 0 , 9,10 ,99,100,255 ]"), true},
        {replaced("\"index\":3,\"timestamp\":1700000000", "\"timestamp\":1700000000,\"index\":3"), true},
        // Accepted by the thorough parser alone: an escaped member name.
        {replaced("\"index\"", "\"\\u0069ndex\""), true},
        // Refused, each with the thorough parser's own text.
        {replaced("\"index\":3", "\"index\":3,\"index\":3"), false},
        {replaced("\"index\":3", "\"index\":-0"), false},
        {replaced("\"index\":3", "\"index\":03"), false},
        {replaced("\"index\":3", "\"index\":3.0"), false},
        {replaced("\"index\":3", "\"index\":18446744073709551616"), false},
        {replaced("[0,9,10,99,100,255]", "[0,9,10,99,100,256]"), false},
        {replaced("[0,9,10,99,100,255]", "[0,9,10,99,100,0255]"), false},
        {replaced("[0,9,10,99,100,255]", "[0,9,10,99,100,]"), false},
        {replaced("[0,9,10,99,100,255]", "[0,9,10,99,100,25 5]"), false},
        {replaced("\"target\":\"target\"", "\"target\":\"\\ud83d\""), false},
        {replaced("\"target\":\"target\"", "\"target\":\"\xc3\x28\""), false},
        {replaced("\"target\":\"target\"", "\"target\":\"a\tb\""), false},
        {replaced("\"target\":\"target\"", "\"target\":\"target\",\"extra\":null"), false},
        {replaced(",\"target\":\"target\"", ""), false},
        {replaced("\"Denied\"", "\"denied\""), false},
        {replaced("\"total_violations\":10", "\"total_violations\":nul"), false},
        {replaced("\"violation_count\":10", "\"violation_count\":4294967296"), false},
        {line + "x", false},
        {line.substr(0, line.size() - 1), false},
        {"", false},
    };
    for (const auto& [text, accepted] : variations) {
        SCOPED_TRACE(text);
        const auto both = parse_both(text);
        ASSERT_EQ(both.thorough.has_value(), accepted) << (both.thorough ? "" : both.thorough.error());
        if (accepted) {
            ASSERT_TRUE(both.combined);
            EXPECT_EQ(*both.combined, *both.thorough);
        } else {
            ASSERT_FALSE(both.combined);
            EXPECT_EQ(both.combined.error(), both.thorough.error());
            TrailEntry ignored;
            EXPECT_FALSE(read_entry_quickly(text, ignored));
        }
    }
}

// A trail of several chunks of lines, its checkpoint beside it covering the first `covered`.
class SpreadScanTest : public ::testing::Test {
protected:
    static constexpr int kEntries = 1200;

    SpreadScanTest() {
        std::string pattern = (fs::temp_directory_path() / "corvel-scan-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        dir_ = pattern;
        path_ = (dir_ / "trail.json").string();
        auto writer = TrailWriter::open(path_, trail_key(), SyncPolicy{0, {}, "scan.example/log"}, pinned_clock);
        if (!writer) throw std::runtime_error(writer.error().message());
        for (int i = 0; i < kEntries; ++i) {
            const Action action{ActionType(ActionKind::Write), "file" + std::to_string(i), Bytes(300, 0x41), {}};
            IntegrityProof proof = IntegrityProof::create(action, std::string(64, 'c'), 300, pinned_clock);
            proof.signature.assign(64, 1);
            if (!(*writer)->append(action, proof, Decision::approved())) throw std::runtime_error("append");
        }
        if (!(*writer)->close()) throw std::runtime_error("close");
        std::getline(std::ifstream(checkpoint_path_for(path_)), checkpoint_, '\0');
        original_ = test::read_file(path_);
    }
    ~SpreadScanTest() override {
        set_signature_threads(0);
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    // Where line `number` (1 for "[") starts in the original file.
    std::size_t line_start(std::size_t number) const {
        std::size_t at = 0;
        for (std::size_t n = 1; n < number; ++n) at = original_.find('\n', at) + 1;
        return at;
    }
    // The entry whose line is the first of the second chunk a scan hands out.
    std::uint64_t first_entry_of_second_chunk() const {
        std::uint64_t line = 1;
        std::size_t at = 0;
        while (at < EntryLineChecks::kChunkBytes) {
            at = original_.find('\n', at) + 1;
            ++line;
        }
        return line - 2;
    }
    // Changes the first `from` after the start of entry `index`'s line to `to`.
    void edit(std::string& text, std::uint64_t index, std::string_view from, std::string_view to) const {
        const std::size_t at = text.find(from, line_start(index + 2));
        ASSERT_NE(at, std::string::npos);
        text.replace(at, from.size(), to);
    }
    // Makes entry `index`'s own signature (the last member of its line) 65 bytes long.
    void lengthen_signature(std::string& text, std::uint64_t index) const {
        const std::string_view member = "\"signature\":[";
        const std::size_t at = text.rfind(member, text.find('\n', line_start(index + 2)));
        ASSERT_NE(at, std::string::npos);
        text.insert(at + member.size(), "1,");
    }
    void write(const std::string& text) const { std::ofstream(path_, std::ios::binary | std::ios::trunc) << text; }

    // What verification reports on `threads` threads: the summary's count, or the error text.
    std::string verified(unsigned threads, bool covered = false) const {
        set_signature_threads(threads);
        const PublicKey key = trail_key()->public_key().bytes();
        if (covered) {
            auto summary = verify_trail_prefix(path_, key, checkpoint_);
            return summary ? std::to_string(summary->count) : summary.error().message();
        }
        auto summary = verify_trail(path_, key);
        return summary ? std::to_string(summary->count) : summary.error().message();
    }

    fs::path dir_;
    std::string path_;
    std::string checkpoint_;
    std::string original_;
};

TEST_F(SpreadScanTest, TheTrailSpansSeveralChunksAndVerifiesOnAnyNumberOfThreads) {
    ASSERT_GT(original_.size(), 4 * EntryLineChecks::kChunkBytes);
    for (unsigned threads : {1u, 2u, 3u}) {
        EXPECT_EQ(verified(threads), std::to_string(kEntries)) << threads;
        EXPECT_EQ(verified(threads, true), std::to_string(kEntries)) << threads;
    }
}

TEST_F(SpreadScanTest, DamageAroundAChunkBoundaryIsNamedAtItsEntry) {
    const std::uint64_t boundary = first_entry_of_second_chunk();
    ASSERT_GT(boundary, 1u);
    for (const std::uint64_t index : {boundary - 1, boundary, boundary + 1}) {
        SCOPED_TRACE(index);
        std::string text = original_;
        edit(text, index, "\"target\":\"file", "\"target\":\"File");
        write(text);
        const std::string broken = "Audit chain integrity broken at index " + std::to_string(index) + ": expected ";
        for (unsigned threads : {1u, 2u}) {
            EXPECT_EQ(verified(threads).rfind(broken, 0), 0u) << verified(threads);
            EXPECT_EQ(verified(threads, true), verified(1)) << "covered, " << threads << " threads";
        }
    }
}

TEST_F(SpreadScanTest, TheFirstOfTwoFailuresInFileOrderIsReported) {
    const std::uint64_t boundary = first_entry_of_second_chunk();
    const std::uint64_t late = kEntries - 10;
    // A bad signature early and a broken hash late; a broken hash early and a bad signature
    // late; a repeated nonce (the nonce of entry 0) after a bad signature in another chunk.
    std::string text = original_;
    lengthen_signature(text, boundary);
    edit(text, late, "\"target\":\"file", "\"target\":\"File");
    write(text);
    EXPECT_EQ(verified(2), "Invalid signature at audit log index " + std::to_string(boundary));
    EXPECT_EQ(verified(1), verified(2));

    text = original_;
    edit(text, 2, "\"target\":\"file", "\"target\":\"File");
    lengthen_signature(text, late);
    write(text);
    EXPECT_EQ(verified(2).rfind("Audit chain integrity broken at index 2:", 0), 0u) << verified(2);
    EXPECT_EQ(verified(1), verified(2));
    EXPECT_EQ(verified(2, true), verified(1));

    text = original_;
    edit(text, late, "\"target\":\"file", "\"target\":\"File");
    write(text);
    const std::string late_failure = verified(1);
    EXPECT_EQ(verified(2), late_failure);
    EXPECT_EQ(verified(2, true), late_failure);
}

TEST_F(SpreadScanTest, ALineOnlyTheThoroughParserReadsIsStillCheckedInPlace) {
    // An escaped member name is read by the thorough parser, in the middle of a spread scan;
    // the entry is then whole again and the trail verifies.
    const std::uint64_t boundary = first_entry_of_second_chunk();
    std::string text = original_;
    edit(text, boundary, "\"index\"", "\"\\u0069ndex\"");
    write(text);
    EXPECT_EQ(verified(2), std::to_string(kEntries));
    EXPECT_EQ(verified(2, true), std::to_string(kEntries));
    // And a member it refuses is refused with the thorough parser's text, at its line.
    edit(text, boundary + 1, "\"index\"", "\"index\":0,\"index\"");
    write(text);
    EXPECT_EQ(verified(2), "Serialization error in audit log: line " + std::to_string(boundary + 3) +
                               ": entry: duplicate member \"index\"");
    EXPECT_EQ(verified(1), verified(2));
}

TEST_F(SpreadScanTest, AStoppedScanEndsPromptlyOnEveryThreadCount) {
    for (unsigned threads : {1u, 2u}) {
        set_signature_threads(threads);
        std::uint64_t asked = 0;
        const auto stopped = verify_trail(path_, trail_key()->public_key().bytes(),
                                          [&](std::uint64_t, std::uint64_t) { return ++asked < 1; });
        ASSERT_FALSE(stopped);
        EXPECT_EQ(stopped.error().message(), "Serialization error in audit log: verification stopped");
        EXPECT_EQ(asked, 1u);
    }
}

}  // namespace
}  // namespace corvel

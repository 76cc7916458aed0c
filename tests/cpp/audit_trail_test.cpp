// The audit trail's writer and verifier: what is written verifies and loads as an audit log,
// reopening continues the chain, a cut-short append is repaired and nothing else is.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <atomic>
#include <barrier>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "audit_log/audit_log.hpp"
#include "audit_trail/json_minus.hpp"
#include "audit_trail/trail_checkpoint.hpp"
#include "audit_trail/trail_file.hpp"
#include "audit_trail/trail_json.hpp"
#include "audit_trail/trail_repair.hpp"
#include "audit_trail/trail_verifier.hpp"
#include "audit_trail/trail_writer.hpp"
#include "base/file_descriptor.hpp"
#include "support/test_util.hpp"
#include "watchdog/denial_proof.hpp"

namespace corvel {
namespace {

namespace fs = std::filesystem;

std::uint64_t pinned_clock() { return 1'700'000'000; }

class TrailTest : public ::testing::Test {
protected:
    TrailTest() {
        std::string pattern = (fs::temp_directory_path() / "corvel-trail-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        dir_ = pattern;
        path_ = (dir_ / "trail.json").string();
    }
    ~TrailTest() override {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    std::shared_ptr<const TrailKey> key(std::uint8_t seed_byte = 7) const {
        Seed seed{};
        seed.fill(seed_byte);
        return std::make_shared<const TrailKey>(TrailKey::from_seed(seed));
    }
    PublicKey public_key(std::uint8_t seed_byte = 7) const { return key(seed_byte)->public_key().bytes(); }

    std::unique_ptr<TrailWriter> open(std::uint8_t seed_byte = 7, SyncPolicy policy = {}) {
        auto writer = TrailWriter::open(path_, key(seed_byte), policy, pinned_clock);
        if (!writer) throw std::runtime_error(writer.error().message());
        return std::move(*writer);
    }

    static Action action(const std::string& target) {
        return Action{ActionType(ActionKind::Write), target, Bytes{1, 2, 3}, std::string("meta \"quoted\"\n")};
    }
    static IntegrityProof proof(const Action& action) {
        IntegrityProof out = IntegrityProof::create(action, std::string(64, 'a'), 300, pinned_clock);
        out.signature.assign(64, 9);
        return out;
    }
    static AppendResult append(TrailWriter& writer, const std::string& target) {
        const Action a = action(target);
        auto result = writer.append(a, proof(a), Decision::approved());
        if (!result) throw std::runtime_error(result.error().message());
        return *result;
    }

    std::size_t loaded_count() const {
        auto log = AuditLog::with_storage(SoftwareKeyStore::generate(), path_);
        if (!log) throw std::runtime_error(log.error().message());
        return log->size();
    }

    fs::path dir_;
    std::string path_;
};

TEST_F(TrailTest, EveryAppendLeavesAVerifiableLoadableArray) {
    auto writer = open();
    EXPECT_TRUE(writer->open_report().created);
    EXPECT_EQ(test::read_file(path_), "[\n]\n");
    EXPECT_EQ(loaded_count(), 0u);

    const Action denied = action("rm -rf /");
    DenialProof denial = DenialProof::create(denied, "Do no harm", "dangerous", 1, pinned_clock);
    denial.signature.assign(64, 5);
    HardResetSignal signal{denial, "charter", Bytes(64, 6), 1'700'000'001, 10};
    signal.final_denial.violation_count = 10;
    signal.final_denial.triggered_hard_reset = true;

    std::vector<AppendResult> results;
    results.push_back(append(*writer, "a.txt"));
    EXPECT_EQ(loaded_count(), 1u);
    auto second = writer->append(denied, proof(denied), decision_for({denial, {}}), {denial, {}});
    ASSERT_TRUE(second) << second.error().message();
    results.push_back(*second);
    EXPECT_EQ(loaded_count(), 2u);
    auto third = writer->append(denied, proof(denied), decision_for({{}, signal}), {{}, signal});
    ASSERT_TRUE(third) << third.error().message();
    results.push_back(*third);
    EXPECT_EQ(loaded_count(), 3u);

    for (std::size_t i = 0; i < results.size(); ++i) EXPECT_EQ(results[i].index, i);
    const auto summary = verify_trail(path_, public_key());
    ASSERT_TRUE(summary) << summary.error().message();
    EXPECT_EQ(summary->count, 3u);
    EXPECT_EQ(summary->head_hash, results.back().hash);

    // Each line parses back to exactly the entry that was hashed and signed.
    std::ifstream in(path_);
    std::string line;
    std::getline(in, line);
    TrailEntryParser parser;
    std::vector<TrailEntry> entries;
    while (std::getline(in, line) && line != "]") {
        if (line.back() == ',') line.pop_back();
        line.append(TrailEntryParser::kPadding, ' ');
        auto entry = parser.parse(std::string_view(line).substr(0, line.size() - TrailEntryParser::kPadding));
        ASSERT_TRUE(entry) << entry.error();
        entries.push_back(*entry);
    }
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[1].watchdog.denial_proof, denial);
    EXPECT_EQ(entries[1].entry.decision, Decision::denied("dangerous"));
    EXPECT_EQ(entries[2].watchdog.hard_reset_signal, signal);
    EXPECT_EQ(entries[0].entry.prev_hash, kGenesisHash);
    EXPECT_EQ(entries[2].entry.prev_hash, entries[1].entry.current_hash);
    EXPECT_EQ(entries[0].entry.action, action("a.txt"));
}

TEST_F(TrailTest, ReopeningContinuesTheChainUnderTheSameKeyOnly) {
    { auto writer = open(); append(*writer, "a"); append(*writer, "b"); }
    {
        auto writer = open();
        EXPECT_EQ(writer->open_report().entries, 2u);
        EXPECT_FALSE(writer->open_report().repaired);
        EXPECT_EQ(append(*writer, "c").index, 2u);
    }
    EXPECT_EQ(verify_trail(path_, public_key())->count, 3u);

    auto other = TrailWriter::open(path_, key(8), {}, pinned_clock);
    ASSERT_FALSE(other);
    EXPECT_EQ(other.error().message(), "Audit trail " + path_ + " was written under another key");
    const auto wrong = verify_trail(path_, public_key(8));
    ASSERT_FALSE(wrong);
    EXPECT_EQ(wrong.error().message(), "Invalid signature at audit log index 0");
}

TEST_F(TrailTest, OneWriterPerFileAndNoWriterAfterClose) {
    auto writer = open();
    auto second = TrailWriter::open(path_, key(), {}, pinned_clock);
    ASSERT_FALSE(second);
    EXPECT_EQ(second.error().kind(), TrailError::Kind::Locked);
    std::thread([&] { EXPECT_FALSE(TrailWriter::open(path_, key(), {}, pinned_clock)); }).join();

    ASSERT_TRUE(writer->close());
    const Action a = action("x");
    EXPECT_EQ(writer->append(a, proof(a), Decision::approved()).error().kind(), TrailError::Kind::Closed);
    EXPECT_TRUE(TrailWriter::open(path_, key(), {}, pinned_clock));
}

TEST_F(TrailTest, RefusalsLeaveTheFileUnchanged) {
    auto writer = open();
    const Action a = action("a");
    const IntegrityProof p = proof(a);
    ASSERT_TRUE(writer->append(a, p, Decision::approved()));
    const std::string before = test::read_file(path_);

    const auto replay = writer->append(a, p, Decision::approved());
    ASSERT_FALSE(replay);
    EXPECT_EQ(replay.error().message(), "Proof nonce already recorded in the audit trail at index 0");

    const Action other = action("b");
    EXPECT_EQ(writer->append(other, p, Decision::approved()).error().message(),
              "The proof was issued for another action");
    DenialProof denial = DenialProof::create(other, "rule", "why", 1, pinned_clock);
    EXPECT_EQ(writer->append(a, proof(a), Decision::denied("x"), {denial, {}}).error().message(),
              "The denial proof was issued for another action");

    const Action bad_text{ActionType(ActionKind::Read), std::string("\xff\xfe"), {}, {}};
    EXPECT_EQ(writer->append(bad_text, proof(bad_text), Decision::approved()).error().kind(),
              TrailError::Kind::InvalidText);

    EXPECT_EQ(test::read_file(path_), before);
    EXPECT_EQ(writer->count(), 1u);
    EXPECT_EQ(append(*writer, "c").index, 1u);
}

// Every way an append can be cut short: the file holds the new bytes up to the cut and the
// old bytes after it. Reopening keeps every whole entry, drops the rest and says so.
TEST_F(TrailTest, ReopeningRepairsEveryCutOfAnAppend) {
    { auto writer = open(); append(*writer, "a"); append(*writer, "b"); }
    const std::string two = test::read_file(path_);
    { auto writer = open(); append(*writer, "c"); }
    const std::string three = test::read_file(path_);

    // Every cut near either end of the append's bytes, and a sample in between.
    for (std::size_t cut = two.size() - 3; cut < three.size(); cut += (cut < two.size() + 8 || cut + 8 > three.size()) ? 1 : 37) {
        std::string torn = three.substr(0, cut);
        if (cut < two.size()) torn += two.substr(cut);
        std::ofstream(path_, std::ios::binary | std::ios::trunc) << torn;

        auto writer = TrailWriter::open(path_, key(), {}, pinned_clock);
        ASSERT_TRUE(writer) << "cut at " << cut << ": " << writer.error().message();
        const std::uint64_t kept = (*writer)->count();
        EXPECT_TRUE(kept == 2 || kept == 3) << cut;
        EXPECT_EQ((*writer)->open_report().repaired, torn != two && torn != three) << cut;
        (*writer)->close();
        EXPECT_EQ(test::read_file(path_), kept == 2 ? two : three) << cut;
    }
}

// A crash may also leave the later blocks of an append as NUL bytes (the size reached the disk,
// the data did not), at the end or in the middle. Each is still the tail of one append; what
// is removed is kept beside the trail, each time in a new file.
TEST_F(TrailTest, ReopeningRepairsAppendsWhoseBlocksNeverReachedTheDisk) {
    { auto writer = open(); append(*writer, "a"); append(*writer, "b"); }
    const std::string two = test::read_file(path_);
    { auto writer = open(); append(*writer, "c"); }
    const std::string three = test::read_file(path_);
    const std::size_t at = two.size() - 3;  // where the append began
    const std::size_t length = three.size() - at;

    std::vector<std::string> tails;
    for (const std::size_t cut : {std::size_t{3}, std::size_t{40}, length - 5}) {
        tails.push_back(three.substr(at, cut) + std::string(length - cut, '\0'));
    }
    std::string hole = three.substr(at);
    std::fill(hole.begin() + 20, hole.begin() + 60, '\0');
    hole.resize(length - 5);  // its line end not reached
    tails.push_back(hole);

    for (std::size_t n = 0; n < tails.size(); ++n) {
        std::ofstream(path_, std::ios::binary | std::ios::trunc) << two.substr(0, at) + tails[n];
        auto writer = TrailWriter::open(path_, key(), {}, pinned_clock);
        ASSERT_TRUE(writer) << n << ": " << writer.error().message();
        EXPECT_EQ((*writer)->count(), 2u) << n;
        EXPECT_EQ((*writer)->open_report().dropped_bytes, tails[n].size()) << n;
        EXPECT_EQ((*writer)->open_report().kept_path, path_ + ".torn-" + std::to_string(n + 1));
        (*writer)->close();
        EXPECT_EQ(test::read_file(path_), two) << n;
        EXPECT_EQ(test::read_file(path_ + ".torn-" + std::to_string(n + 1)), tails[n]) << n;
    }

    // Cut just after the new entry's "}": the entry is whole and kept, the NUL bytes removed.
    std::ofstream(path_, std::ios::binary | std::ios::trunc) << three.substr(0, three.size() - 3) + std::string(3, '\0');
    auto writer = TrailWriter::open(path_, key(), {}, pinned_clock);
    ASSERT_TRUE(writer) << writer.error().message();
    EXPECT_EQ((*writer)->count(), 3u);
    EXPECT_EQ((*writer)->open_report().dropped_bytes, 3u);
    (*writer)->close();
    EXPECT_EQ(test::read_file(path_), three);
}

// Reading a large trail can be stopped between reads (Ctrl-C, from Python): opening and
// verification then fail, the file unchanged and no tree left behind.
TEST_F(TrailTest, LongReadsStopWhenAskedAndChangeNothing) {
    {
        auto writer = open();
        for (int i = 0; i < 3; ++i) {
            const Action big{ActionType(ActionKind::Write), "big" + std::to_string(i), Bytes(300'000, 0xff), {}};
            ASSERT_TRUE(writer->append(big, proof(big), Decision::approved()));
        }
    }
    const std::string before = test::read_file(path_);
    ASSERT_GT(before.size(), std::size_t{3} << 20);
    fs::remove(path_ + ".tree");

    std::uint64_t asked = 0;
    const TrailProgress stop_at_second = [&](std::uint64_t done, std::uint64_t total) {
        EXPECT_LT(done, total);
        return ++asked < 2;
    };
    const auto opened = TrailWriter::open(path_, key(), {}, pinned_clock, stop_at_second);
    ASSERT_FALSE(opened);
    EXPECT_EQ(opened.error().message(), "Serialization error in audit log: verification stopped");
    EXPECT_EQ(asked, 2u);
    EXPECT_EQ(test::read_file(path_), before);
    EXPECT_FALSE(fs::exists(path_ + ".tree"));

    asked = 0;
    EXPECT_FALSE(verify_trail(path_, public_key(), stop_at_second));
    EXPECT_EQ(asked, 2u);
    // Asked often enough to stop promptly: about every MiB.
    std::uint64_t calls = 0;
    ASSERT_TRUE(verify_trail(path_, public_key(), [&](std::uint64_t, std::uint64_t) { return ++calls > 0; }));
    EXPECT_GE(calls, before.size() >> 20);
}

TEST(TornAppend, OnlyWhatAnAppendCutShortLeaves) {
    const std::string entry = R"({"index":3,"timestamp":1700000000,"action":{"action_type":"Read"})";
    for (const std::string& tail : {std::string(), std::string(","), std::string(",]\n"), std::string(",\n"),
                                    std::string(",\n\n"), std::string(",\n{"), ",\n" + entry.substr(0, 9),
                                    ",\n" + entry.substr(0, 30), ",\n" + entry.substr(0, 30) + std::string(9, '\0'),
                                    std::string("\n]"), std::string("\n]\n") + std::string(5, '\0'),
                                    std::string(3, '\0'), std::string("\n") + std::string(4, '\0')}) {
        EXPECT_TRUE(is_torn_append(tail, false)) << tail;
    }
    for (const std::string& tail : {std::string("\n{"), "\n" + entry.substr(0, 12), std::string("\n]\n")}) {
        EXPECT_TRUE(is_torn_append(tail, true)) << tail;
    }
    for (const std::string& tail :
         {std::string("junk"), std::string("\n]\njunk"), std::string(",\n]\n"), std::string(",\n\n]\n"),
          std::string(",\n{\"user\":1"), std::string(",\n{\"index\":3}"), ",\n" + entry + "\n]\n",
          ",\n" + entry.substr(0, 30) + "\n", std::string(",\0\n", 3), std::string("\n{\"index\":0}")}) {
        EXPECT_FALSE(is_torn_append(tail, false)) << tail;
    }
    // Before the first entry the separator is a bare line end.
    EXPECT_FALSE(is_torn_append(",\n{", true));
    EXPECT_FALSE(is_torn_append("\n{", false));
}

TEST_F(TrailTest, KeptTailsAreNeverOverwritten) {
    const auto first = keep_removed_tail(path_, "one");
    const auto second = keep_removed_tail(path_, "two");
    ASSERT_TRUE(first && second);
    EXPECT_EQ(*first, path_ + ".torn-1");
    EXPECT_EQ(*second, path_ + ".torn-2");
    EXPECT_EQ(test::read_file(*first), "one");
    EXPECT_EQ(test::read_file(*second), "two");
    EXPECT_FALSE(keep_removed_tail((dir_ / "missing" / "t.json").string(), "x"));
}

TEST_F(TrailTest, DamageIsRefusedNotRepaired) {
    { auto writer = open(); append(*writer, "a"); append(*writer, "b"); }
    std::string text = test::read_file(path_);
    // The last entry's target changed: its line is whole and the closing line is there.
    const std::size_t at = text.rfind("\"target\":\"b\"");
    text[at + 10] = 'x';
    std::ofstream(path_, std::ios::binary | std::ios::trunc) << text;

    auto writer = TrailWriter::open(path_, key(), {}, pinned_clock);
    ASSERT_FALSE(writer);
    EXPECT_EQ(writer.error().message().rfind("Audit chain integrity broken at index 1: expected [", 0), 0u);
    EXPECT_EQ(test::read_file(path_), text);

    // Without its closing line the damaged entry is still a whole entry, so still refused.
    text.resize(text.size() - 3);
    std::ofstream(path_, std::ios::binary | std::ios::trunc) << text;
    EXPECT_FALSE(TrailWriter::open(path_, key(), {}, pinned_clock));
    EXPECT_EQ(test::read_file(path_), text);
}

TEST(MinusOutsideStrings, IsFoundOnlyOutsideStrings) {
    for (const std::string_view json : {R"({"a":1})", R"({"a":"-"})", R"({"-":"\"-"})", R"({"a":"\\\"-"})",
                                        R"(["x-y","\\\\-"])", R"({"a":"-)"}) {
        EXPECT_FALSE(has_minus_outside_strings(json)) << json;
    }
    for (const std::string_view json : {"-0", R"({"a":-0})", R"({"a":"\\","b":-1})", R"({"-":"-","b":[0,-0]})",
                                        R"({"a":"\\\\"-})", R"(["-",1e-5])"}) {
        EXPECT_TRUE(has_minus_outside_strings(json)) << json;
    }
}

TEST_F(TrailTest, TheFirstSyncWritesTheCheckpointEvenWithNothingNew) {
    const std::string beside = checkpoint_path_for(path_);
    SyncPolicy policy;
    policy.checkpoint_origin = "example.com/trail";
    { auto writer = open(7, policy); ASSERT_TRUE(writer->close()); }
    EXPECT_EQ(test::read_file(beside).rfind("example.com/trail\n0\n", 0), 0u);

    { auto writer = open(); append(*writer, "a"); append(*writer, "b"); }
    fs::remove(beside);
    auto writer = open(7, policy);
    EXPECT_FALSE(fs::exists(beside));  // opening alone writes nothing
    ASSERT_TRUE(writer->sync());
    const std::string first = test::read_file(beside);
    EXPECT_EQ(first.rfind("example.com/trail\n2\n", 0), 0u);
    // Signatures are randomised: an unchanged file shows that nothing was rewritten.
    ASSERT_TRUE(writer->sync());
    ASSERT_TRUE(writer->close());
    EXPECT_EQ(test::read_file(beside), first);
}

TEST_F(TrailTest, PathsThatAreNotRegularFilesAreRefused) {
    const auto dir = TrailWriter::open(dir_.string(), key(), {}, pinned_clock);
    ASSERT_FALSE(dir);
    EXPECT_EQ(dir.error().message(), "IO error in audit log: Is a directory");
    const std::string fifo = (dir_ / "fifo").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(verify_trail(fifo, public_key()).error().message(), "IO error in audit log: not a regular file");
    EXPECT_EQ(verify_trail((dir_ / "missing").string(), public_key()).error().message(),
              "IO error in audit log: No such file or directory");
}

TEST_F(TrailTest, ConcurrentAppendsEachGetTheirOwnIndex) {
    auto writer = open(7, SyncPolicy{0, {}, {}});
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 25; ++i) {
                // Built by appends: GCC 12 warns falsely (-Wrestrict) on "t" + std::to_string(t).
                std::string target = std::to_string(t);
                target.insert(0, 1, 't').append(1, '-').append(std::to_string(i));
                append(*writer, target);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    ASSERT_TRUE(writer->sync());
    const auto summary = verify_trail(path_, public_key());
    ASSERT_TRUE(summary) << summary.error().message();
    EXPECT_EQ(summary->count, 200u);
}

// Durable appends from several threads share syncs; a checkpoint taken meanwhile, or the one
// each sync writes beside the trail, covers only entries already in the file and gives its root.
TEST_F(TrailTest, ConcurrentDurableAppendsAndCheckpointsStayConsistent) {
    SyncPolicy policy;
    policy.checkpoint_origin = "example.com/trail";
    auto writer = open(7, policy);
    std::vector<std::string> notes;
    std::mutex notes_mutex;
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 20; ++i) {
                std::string target = std::to_string(t);
                target.insert(0, 1, 't').append(1, '-').append(std::to_string(i));
                const AppendResult result = append(*writer, target);
                EXPECT_GT(writer->count(), result.index);
                if (i % 5 == 0) {
                    auto note = writer->checkpoint("example.com/trail");
                    ASSERT_TRUE(note) << note.error().message();
                    std::lock_guard lock(notes_mutex);
                    notes.push_back(std::move(*note));
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    notes.push_back(test::read_file(checkpoint_path_for(path_)));
    ASSERT_TRUE(writer->close());
    for (const std::string& note : notes) {
        const auto verified = verify_trail_prefix(path_, public_key(), note);
        ASSERT_TRUE(verified) << verified.error().message();
        EXPECT_EQ(verified->count, 160u);
    }
    // The last sync's checkpoint beside the trail covers every entry.
    EXPECT_EQ(test::read_file(checkpoint_path_for(path_)).rfind("example.com/trail\n160\n", 0), 0u);
}

// The tree beside the trail is not synced as entries are appended: after a crash of the
// machine an inner node may be stale while every leaf agrees with the trail. Opening rebuilds
// the tree rather than refuse the trail as forked from its checkpoint.
TEST_F(TrailTest, AStaleInnerNodeOfTheTreeIsRebuiltNotTakenForAFork) {
    SyncPolicy policy;
    policy.checkpoint_origin = "example.com/trail";
    { auto writer = open(7, policy); append(*writer, "a"); append(*writer, "b"); ASSERT_TRUE(writer->close()); }
    SyncPolicy leave_alone;
    leave_alone.follow_checkpoint = false;
    { auto writer = open(7, leave_alone); append(*writer, "c"); append(*writer, "d"); ASSERT_TRUE(writer->close()); }
    // Records in post-order: leaf 0, leaf 1, their parent (the size-2 root), leaf 2, ...
    {
        std::fstream tree(tree_path_for(path_), std::ios::in | std::ios::out | std::ios::binary);
        tree.seekp(16 + 2 * 32);
        tree.write(std::string(32, '\x5a').data(), 32);
    }
    auto writer = TrailWriter::open(path_, key(), {}, pinned_clock);
    ASSERT_TRUE(writer) << writer.error().message();
    EXPECT_EQ((*writer)->open_report().followed_origin, "example.com/trail");
    ASSERT_TRUE((*writer)->close());
    const auto verified = verify_trail_prefix(path_, public_key(), test::read_file(checkpoint_path_for(path_)));
    ASSERT_TRUE(verified) << verified.error().message();
    EXPECT_EQ(test::read_file(checkpoint_path_for(path_)).rfind("example.com/trail\n4\n", 0), 0u);
}


// ------------------------------------------------------------ writing the file

// A run of entries goes to the file in one gathered write: more pieces than one call may take,
// empty ones among them, land in order from the offset, and the bytes before it stay; a write
// in the middle of the file changes only its own bytes; a failing write is an error.
TEST_F(TrailTest, GatheredWritesLandInOrderPastTheKernelsLimitOfPieces) {
    { std::ofstream(path_, std::ios::binary) << std::string(100, '.'); }
    std::vector<std::string> texts;
    for (int i = 0; i < 3000; ++i) texts.emplace_back(static_cast<std::size_t>(i % 7), static_cast<char>('a' + i % 26));
    std::vector<iovec> pieces;
    std::string joined;
    for (std::string& text : texts) {
        pieces.push_back({text.data(), text.size()});
        joined += text;
    }
    FileDescriptor file(::open(path_.c_str(), O_WRONLY | O_CLOEXEC));
    ASSERT_TRUE(file);
    ASSERT_TRUE(write_all_at(file.get(), std::span(pieces), 10));
    EXPECT_EQ(test::read_file(path_), std::string(10, '.') + joined);

    ASSERT_TRUE(write_all_at(file.get(), std::string_view("XYZ"), 4));
    EXPECT_EQ(test::read_file(path_), std::string(4, '.') + "XYZ" + std::string(3, '.') + joined);

    FileDescriptor read_only(::open(path_.c_str(), O_RDONLY | O_CLOEXEC));
    const auto refused = write_all_at(read_only.get(), std::string_view("x"), 0);
    ASSERT_FALSE(refused);
    EXPECT_NE(refused.error().message().find(std::strerror(EBADF)), std::string::npos) << refused.error().message();
}


// ------------------------------------------------------------ appends from many threads

// Each entry line of the file as parsed: index and current_hash, in file order.
std::map<std::uint64_t, Hash32> hashes_in_file(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    TrailEntryParser parser;
    std::map<std::uint64_t, Hash32> out;
    while (std::getline(in, line) && line != "]") {
        if (line.back() == ',') line.pop_back();
        const std::size_t size = line.size();
        line.append(TrailEntryParser::kPadding, ' ');
        auto entry = parser.parse(std::string_view(line).substr(0, size));
        if (!entry) throw std::runtime_error(entry.error());
        out.emplace(entry->entry.index, entry->entry.current_hash);
    }
    return out;
}

std::string target_of(int thread, int i) {
    // Built by appends: GCC 12 warns falsely (-Wrestrict) on "t" + std::to_string(t).
    std::string target = std::to_string(thread);
    target.insert(0, 1, 't').append(1, '-').append(std::to_string(i));
    return target;
}

// Durable appends signed in parallel and written in index order: every acknowledged index is
// in the file with the hash it was acknowledged with, a nonce raced by two threads is taken by
// exactly one of them, and the appends share syncs.
TEST_F(TrailTest, DurableAppendsFromManyThreadsAreAllInTheFileOnce) {
    auto writer = open(7, SyncPolicy{1, {}, {}});
    constexpr int kThreads = 8;
    constexpr int kEach = 30;
    std::mutex results_mutex;
    std::map<std::uint64_t, Hash32> acknowledged;
    std::atomic<int> replays_refused{0};
    std::atomic<int> raced_taken{0};
    std::barrier meet(2);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                const AppendResult result = append(*writer, target_of(t, i));
                std::lock_guard lock(results_mutex);
                EXPECT_TRUE(acknowledged.emplace(result.index, result.hash).second) << result.index;
            }
        });
    }
    // Two more threads append the same proof at the same moment, over and over.
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kEach; ++i) {
                const Action a = action("raced-" + std::to_string(i));
                IntegrityProof p = proof(a);
                p.nonce.fill(static_cast<std::uint8_t>(i + 1));
                meet.arrive_and_wait();
                auto result = writer->append(a, p, Decision::approved());
                if (result) {
                    ++raced_taken;
                    std::lock_guard lock(results_mutex);
                    EXPECT_TRUE(acknowledged.emplace(result->index, result->hash).second);
                } else {
                    EXPECT_EQ(result.error().kind(), TrailError::Kind::NonceReplayed);
                    ++replays_refused;
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(raced_taken.load(), kEach);
    EXPECT_EQ(replays_refused.load(), kEach);

    const std::uint64_t total = kThreads * kEach + kEach;
    ASSERT_EQ(acknowledged.size(), total);
    EXPECT_EQ(acknowledged.rbegin()->first, total - 1);  // with no duplicate: 0 .. total-1
    EXPECT_EQ(writer->count(), total);
    const auto summary = verify_trail(path_, public_key());
    ASSERT_TRUE(summary) << summary.error().message();
    EXPECT_EQ(summary->count, total);
    EXPECT_EQ(hashes_in_file(path_), acknowledged);
    // Ten threads waiting on each sync: far fewer syncs than appends, however slow the machine.
    EXPECT_LE(writer->syncs() * 2, total) << writer->syncs() << " syncs";
    ASSERT_TRUE(writer->close());
}

// A write that fails part way while other appends are reserved behind it: it and every append
// reserved after it fail, the file stays the complete array it was, and once writes succeed
// again the writer goes on from the last entry written, with no gap in the indexes.
TEST_F(TrailTest, AFailedWriteAmongConcurrentAppendsFailsThoseBehindItAndLeavesAnArray) {
    auto writer = open(7, SyncPolicy{1, {}, {}});
    for (int i = 0; i < 5; ++i) append(*writer, target_of(99, i));
    const auto before = fs::file_size(path_);

    // A file-size limit a few entries above the current size: writes past it fail (EFBIG).
    const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit old_limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old_limit), 0);
    const rlimit limit{static_cast<rlim_t>(before + 4000), old_limit.rlim_max};
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);

    std::mutex results_mutex;
    std::set<std::uint64_t> succeeded;
    std::atomic<int> failed{0};
    const auto hammer = [&](int round) {
        std::vector<std::thread> threads;
        for (int t = 0; t < 6; ++t) {
            threads.emplace_back([&, t] {
                for (int i = 0; i < 10; ++i) {
                    const Action a = action(target_of(t, round * 100 + i));
                    auto result = writer->append(a, proof(a), Decision::approved());
                    if (!result) {
                        EXPECT_EQ(result.error().kind(), TrailError::Kind::Audit) << result.error().message();
                        ++failed;
                        continue;
                    }
                    std::lock_guard lock(results_mutex);
                    EXPECT_TRUE(succeeded.insert(result->index).second);
                }
            });
        }
        for (auto& thread : threads) thread.join();
    };
    hammer(0);
    const std::uint64_t written = writer->count();
    EXPECT_GT(failed.load(), 0);
    EXPECT_LT(written, 65u);
    // The file holds exactly the acknowledged entries, and verifies.
    auto summary = verify_trail(path_, public_key());
    ASSERT_TRUE(summary) << summary.error().message();
    EXPECT_EQ(summary->count, written);
    EXPECT_EQ(succeeded.size(), written - 5);
    if (!succeeded.empty()) {
        EXPECT_EQ(*succeeded.rbegin(), written - 1);
    }

    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &old_limit), 0);
    std::signal(SIGXFSZ, old_handler);

    failed = 0;
    hammer(1);
    EXPECT_EQ(failed.load(), 0);
    EXPECT_EQ(writer->count(), written + 60);
    EXPECT_EQ(succeeded.size(), written + 55);
    EXPECT_EQ(*succeeded.rbegin(), written + 59);
    ASSERT_TRUE(writer->close());
    summary = verify_trail(path_, public_key());
    ASSERT_TRUE(summary) << summary.error().message();
    EXPECT_EQ(summary->count, written + 60);
}

// An entry over the line limit is refused before it takes an index, while other threads go on
// appending: their indexes stay contiguous and the refused proof's nonce stays free.
TEST_F(TrailTest, AnEntryTooLargeIsRefusedWithoutAGapWhileOthersAppend) {
    auto writer = open(7, SyncPolicy{1, {}, {}});
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    std::atomic<int> appended{0};
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; !stop || i < 5; ++i) {
                append(*writer, target_of(t, i));
                ++appended;
            }
        });
    }
    // Each byte 255 is four characters of the line: well over the limit.
    const Action huge{ActionType(ActionKind::Write), "huge", Bytes(kMaxEntryLine / 4 + 1000, 255), {}};
    const IntegrityProof huge_proof = proof(huge);
    const auto refused = writer->append(huge, huge_proof, Decision::approved());
    stop = true;
    for (auto& thread : threads) thread.join();
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().kind(), TrailError::Kind::EntryTooLarge);

    // The same nonce is still free: a small action under it is accepted.
    const Action small = action("small");
    IntegrityProof small_proof = proof(small);
    small_proof.nonce = huge_proof.nonce;
    ASSERT_TRUE(writer->append(small, small_proof, Decision::approved()));
    ASSERT_TRUE(writer->close());
    const auto summary = verify_trail(path_, public_key());
    ASSERT_TRUE(summary) << summary.error().message();
    EXPECT_EQ(summary->count, static_cast<std::uint64_t>(appended.load()) + 1);
}


// Near the line limit the line's size depends on the signature's digits, so the writer signs
// there and applies the limit exactly: an entry whose line is exactly the limit is written, one
// a byte over is refused and changes nothing. The key signs deterministically, so the test
// finds, by the target's length, actions whose lines are exactly those sizes.
TEST_F(TrailTest, TheLineLimitIsExactWhereTheSignatureDecidesIt) {
    auto writer = open(7, SyncPolicy{0, {}, {}});
    const auto signer = key();
    const Bytes payload(kMaxEntryLine / 4 - 400, 255);  // "255," each: a line just under the limit
    const auto list_size = [](ByteView bytes) {
        std::string text;
        render_entry_signature(text, bytes);
        return text.size() - 1;  // without the closing brace
    };
    // The action whose entry, at `index` after `prev`, has a line of exactly `size` bytes. The
    // target's length moves the line a byte at a time; the digits of the three hashes and the
    // signature (128 bytes, 3.57 characters each on average) move it around that.
    const auto action_of_size = [&](std::uint64_t index, const Hash32& prev, std::size_t size) {
        const auto entry_of = [&](std::size_t pad) {
            const Action a{ActionType(ActionKind::Write), std::string(pad, 'p'), payload, {}};
            IntegrityProof p = proof(a);
            p.nonce.fill(static_cast<std::uint8_t>(200 + index));
            return TrailEntry{AuditEntry{index, pinned_clock(), a, p, Decision::approved(), prev, {}, {}}, {}};
        };
        std::string line;
        const TrailEntry first = entry_of(0);
        render_entry_json(line, first);  // a zero hash and an empty signature
        const std::size_t fixed =
            line.size() - list_size(first.entry.proof.action_hash) - list_size(Hash32{}) - list_size({});
        const std::size_t middle = size - fixed - 128 * 357 / 100;
        for (std::size_t pad = middle - 30; pad < middle + 30; ++pad) {
            TrailEntry entry = entry_of(pad);
            entry.entry.current_hash = entry_hash(entry);
            const auto signature = signer->sign(signature_message(entry.entry.current_hash));
            if (!signature) throw std::runtime_error("signing failed");
            if (fixed + pad + list_size(entry.entry.proof.action_hash) + list_size(entry.entry.current_hash) +
                    list_size(*signature) == size) {
                return std::pair{entry.entry.action, entry.entry.proof};
            }
        }
        throw std::runtime_error("no action of that size");
    };

    const auto [fits, fits_proof] = action_of_size(0, kGenesisHash, kMaxEntryLine);
    const auto written = writer->append(fits, fits_proof, Decision::approved());
    ASSERT_TRUE(written) << written.error().message();
    EXPECT_EQ(fs::file_size(path_), 1 + 1 + kMaxEntryLine + 3);  // "[", "\n", the line, "\n]\n"

    const auto [over, over_proof] = action_of_size(1, written->hash, kMaxEntryLine + 1);
    const auto before = fs::file_size(path_);
    const auto refused = writer->append(over, over_proof, Decision::approved());
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().message(), "Audit trail entry of " + std::to_string(kMaxEntryLine + 1) +
                                             " bytes exceeds the limit of " + std::to_string(kMaxEntryLine) + " bytes");
    EXPECT_EQ(fs::file_size(path_), before);
    EXPECT_EQ(writer->count(), 1u);
    // Nothing was reserved: the refused nonce is free and the next entry takes index 1.
    const Action small = action("small");
    IntegrityProof small_proof = proof(small);
    small_proof.nonce = over_proof.nonce;
    const auto next = writer->append(small, small_proof, Decision::approved());
    ASSERT_TRUE(next) << next.error().message();
    EXPECT_EQ(next->index, 1u);
    ASSERT_TRUE(writer->close());
    const auto summary = verify_trail(path_, public_key());
    ASSERT_TRUE(summary) << summary.error().message();
    EXPECT_EQ(summary->count, 2u);
}

}  // namespace
}  // namespace corvel

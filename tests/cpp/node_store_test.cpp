// The node store: its post-order layout, the file form, damage to that file and rebuilding it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "merkle/file_node_store.hpp"
#include "merkle/merkle_tree.hpp"
#include "support/merkle_model.hpp"

namespace corvel::merkle {
namespace {

namespace fs = std::filesystem;
using test::memory_tree;
using test::Model;
using test::random_leaves;

// ---- The node store's layout -----------------------------------------------------------------

TEST(NodeStoreLayout, EveryNodeSitsWhereItsPositionSaysAndHoldsItsSubtreesHash) {
    const std::vector<Hash> leaves = random_leaves(100, 19);
    Model model(leaves);
    MerkleTree tree = memory_tree(leaves);
    EXPECT_EQ(tree.store().record_count(), records_for_leaves(100));
    std::vector<bool> seen(tree.store().record_count(), false);
    for (unsigned level = 0; (1u << level) <= 100; ++level) {
        for (std::uint64_t index = 0; ((index + 1) << level) <= 100; ++index) {
            const std::uint64_t position = node_position(level, index);
            ASSERT_LT(position, seen.size());
            EXPECT_FALSE(seen[position]) << "two nodes at record " << position;
            seen[position] = true;
            EXPECT_EQ(tree.store().read_record(position).value(), model.mth(index << level, (index + 1) << level));
        }
    }
    EXPECT_EQ(std::count(seen.begin(), seen.end(), false), 0);
}

TEST(NodeStoreLayout, RecordCountsInsideAnAppendBelongToNoTree) {
    std::uint64_t whole = 0;
    for (std::uint64_t leaves = 0; leaves <= 1000; ++leaves) {
        for (std::uint64_t records = whole + 1; records < records_for_leaves(leaves); ++records) {
            EXPECT_FALSE(leaves_for_records(records).has_value()) << records;
        }
        whole = records_for_leaves(leaves);
        EXPECT_EQ(leaves_for_records(whole), leaves);
    }
    EXPECT_EQ(leaves_for_records(records_for_leaves(1ull << 40)), 1ull << 40);
}

// ---- The file-backed store -------------------------------------------------------------------

class FileNodeStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("corvel-merkle-" + std::to_string(::getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        path_ = (dir_ / "trail.nodes").string();
    }
    void TearDown() override { fs::remove_all(dir_); }

    MerkleTree file_tree(const std::vector<Hash>& leaves) {
        auto store = FileNodeStore::create(path_);
        EXPECT_TRUE(store.has_value()) << store.error().message();
        auto tree = MerkleTree::open(std::move(*store));
        for (const Hash& leaf : leaves) EXPECT_TRUE(tree->append(leaf).has_value());
        return std::move(*tree);
    }
    std::expected<MerkleTree, TreeError> reopen() {
        auto store = FileNodeStore::open(path_);
        if (!store) return std::unexpected(store.error());
        return MerkleTree::open(std::move(*store));
    }
    void overwrite(std::uintmax_t offset, std::uint8_t value) {
        std::fstream file(path_, std::ios::in | std::ios::out | std::ios::binary);
        file.seekg(static_cast<std::streamoff>(offset));
        char old = 0;
        file.get(old);
        file.seekp(static_cast<std::streamoff>(offset));
        file.put(static_cast<char>(old ^ value));
    }
    std::uintmax_t record_offset(std::uint64_t record) { return FileNodeStore::kHeaderSize + record * 32; }

    fs::path dir_;
    std::string path_;
};

TEST_F(FileNodeStoreTest, ProofsFromTheFileAreThoseFromMemoryBeforeAndAfterReopening) {
    const std::vector<Hash> leaves = random_leaves(777, 23);
    MerkleTree memory = memory_tree(leaves);
    {
        MerkleTree file = file_tree(leaves);
        EXPECT_EQ(file.root(), memory.root());
    }
    EXPECT_EQ(fs::file_size(path_), FileNodeStore::kHeaderSize + 32 * records_for_leaves(777));
    MerkleTree file = reopen().value();
    ASSERT_EQ(file.size(), 777u);
    EXPECT_EQ(file.root(), memory.root());
    EXPECT_TRUE(file.check_structure());
    std::mt19937_64 random(29);
    for (int trial = 0; trial < 200; ++trial) {
        const std::uint64_t n = 1 + random() % 777;
        const std::uint64_t i = random() % n;
        ASSERT_EQ(file.inclusion_proof(i, n).value(), memory.inclusion_proof(i, n).value());
        ASSERT_EQ(file.consistency_proof(i, n).value(), memory.consistency_proof(i, n).value());
        ASSERT_EQ(file.root_at(n).value(), memory.root_at(n).value());
    }
    // Appends after reopening continue the same tree.
    const std::vector<Hash> more = random_leaves(50, 31);
    for (const Hash& leaf : more) {
        ASSERT_TRUE(file.append(leaf));
        ASSERT_TRUE(memory.append(leaf));
    }
    EXPECT_EQ(file.root(), memory.root());
    EXPECT_EQ(file.inclusion_proof(800, 827).value(), memory.inclusion_proof(800, 827).value());
}

TEST_F(FileNodeStoreTest, AShortOrGarbledFileIsRefusedAndRebuildingRestoresIt) {
    const std::vector<Hash> leaves = random_leaves(300, 37);
    const Hash true_root = memory_tree(leaves).root();
    file_tree(leaves);
    const std::uintmax_t full = fs::file_size(path_);

    // Cut inside a record, then inside an append (whole records, not whole leaves).
    fs::resize_file(path_, full - 7);
    EXPECT_EQ(reopen().error().kind(), TreeError::Kind::Damaged);
    fs::resize_file(path_, record_offset(records_for_leaves(299) + 1));
    EXPECT_EQ(reopen().error().kind(), TreeError::Kind::Damaged);
    // Cut at a leaf boundary: a shorter, sound tree, which the trail's root exposes as stale.
    fs::resize_file(path_, record_offset(records_for_leaves(299)));
    {
        MerkleTree shorter = reopen().value();
        EXPECT_EQ(shorter.size(), 299u);
        EXPECT_TRUE(shorter.check_structure());
        EXPECT_FALSE(shorter.check_root(300, true_root));
    }
    fs::resize_file(path_, 10);
    EXPECT_EQ(reopen().error().kind(), TreeError::Kind::Damaged);

    // The rebuild road: a fresh store in place of the damaged one, fed the leaves again.
    {
        MerkleTree rebuilt = MerkleTree::open(FileNodeStore::replace(path_).value()).value();
        for (const Hash& leaf : leaves) ASSERT_TRUE(rebuilt.append(leaf));
    }
    EXPECT_EQ(fs::file_size(path_), full);
    MerkleTree sound = reopen().value();
    EXPECT_TRUE(sound.check_root(300, true_root));

    // A flipped bit in the header, then in a leaf, an inner node and a top subtree root.
    overwrite(3, 0x20);
    EXPECT_EQ(reopen().error().message(), "Merkle node store damaged (rebuild it from the trail): " + path_ +
                                              " has no node-store header");
    overwrite(3, 0x20);
    for (const std::uint64_t record : {node_position(0, 17), node_position(3, 5)}) {
        overwrite(record_offset(record) + 9, 0x01);
        const auto check = reopen().value().check_structure();
        ASSERT_FALSE(check);
        EXPECT_EQ(check.error().kind(), TreeError::Kind::Damaged);
        overwrite(record_offset(record) + 9, 0x01);
    }
    overwrite(record_offset(node_position(8, 0)) + 31, 0x80);  // a top root: 300 = 256 + 32 + 8 + 4
    EXPECT_FALSE(reopen().value().check_structure());
    EXPECT_FALSE(reopen().value().check_root(300, true_root));
    overwrite(record_offset(node_position(8, 0)) + 31, 0x80);

    // The last leaf of an odd size has no parent yet: only the trail's root finds it garbled.
    std::vector<Hash> longer = leaves;
    longer.push_back(random_leaves(1, 43)[0]);
    ASSERT_TRUE(reopen().value().append(longer.back()));
    overwrite(record_offset(node_position(0, 300)), 0x04);
    EXPECT_TRUE(reopen().value().check_structure());
    EXPECT_FALSE(reopen().value().check_root(301, memory_tree(longer).root()));
}

TEST_F(FileNodeStoreTest, CreateRefusesAnExistingFileAndTruncateDropsWholeLeaves) {
    const std::vector<Hash> leaves = random_leaves(40, 41);
    MerkleTree tree = file_tree(leaves);
    EXPECT_EQ(FileNodeStore::create(path_).error().kind(), TreeError::Kind::Exists);
    EXPECT_EQ(FileNodeStore::open((dir_ / "missing").string()).error().kind(), TreeError::Kind::Io);

    ASSERT_TRUE(tree.sync());
    ASSERT_TRUE(tree.truncate(33));
    EXPECT_EQ(tree.size(), 33u);
    EXPECT_EQ(tree.root(), Model(leaves).mth(0, 33));
    EXPECT_EQ(fs::file_size(path_), record_offset(records_for_leaves(33)));
    EXPECT_EQ(tree.truncate(34).error().kind(), TreeError::Kind::OutOfRange);
    ASSERT_TRUE(tree.append(leaves[33]));
    ASSERT_TRUE(tree.append(leaves[34]));
    ASSERT_TRUE(tree.truncate(34));  // inside the write buffer
    ASSERT_TRUE(tree.sync());
    EXPECT_EQ(reopen().value().root(), Model(leaves).mth(0, 34));
}

// Appends are buffered: reads see the buffer and the file as one, and a store that lags the
// trail or ends inside an append after a crash is cut back to a whole leaf and caught up.
TEST_F(FileNodeStoreTest, BufferedAppendsReadAsOneAndRecoveryCatchesUpFromTheTrail) {
    const std::vector<Hash> leaves = random_leaves(3000, 47);  // three buffers' worth of records
    MerkleTree memory = memory_tree(leaves);
    {
        MerkleTree file = file_tree(leaves);
        EXPECT_LT(fs::file_size(path_), record_offset(records_for_leaves(3000)));  // a buffer still pending
        std::mt19937_64 random(53);
        for (int trial = 0; trial < 300; ++trial) {
            const std::uint64_t n = 1 + random() % 3000;
            const std::uint64_t i = random() % n;
            ASSERT_EQ(file.inclusion_proof(i, n).value(), memory.inclusion_proof(i, n).value());
        }
        EXPECT_TRUE(file.check_structure());
    }
    // A torn append: open refuses it, recover cuts it off and says how much. Leaf 2991 writes
    // five records (2992 has four trailing zero bits); the cut leaves two and a bit of them.
    const std::uint64_t torn = record_offset(records_for_leaves(2991)) + 2 * 32 + 5;
    fs::resize_file(path_, torn);
    EXPECT_EQ(reopen().error().kind(), TreeError::Kind::Damaged);
    auto recovered = FileNodeStore::recover(path_).value();
    EXPECT_EQ(recovered.cut_bytes, 2 * 32 + 5u);
    MerkleTree file = MerkleTree::open(std::move(recovered.store)).value();
    ASSERT_EQ(file.size(), 2991u);
    ASSERT_TRUE(file.check_root(2991, memory.root_at(2991).value()));
    for (std::uint64_t i = file.size(); i < leaves.size(); ++i) ASSERT_TRUE(file.append(leaves[i]));
    EXPECT_EQ(file.root(), memory.root());
    EXPECT_EQ(fs::file_size(path_), torn - (2 * 32 + 5));  // the caught-up leaves still buffered
    ASSERT_TRUE(file.sync());
    EXPECT_EQ(fs::file_size(path_), record_offset(records_for_leaves(3000)));

    // A sound file recovers unchanged; a bad header is still refused.
    EXPECT_EQ(FileNodeStore::recover(path_).value().cut_bytes, 0u);
    overwrite(0, 0x01);
    EXPECT_EQ(FileNodeStore::recover(path_).error().kind(), TreeError::Kind::Damaged);
}

TEST(CompactRangeTest, FromRootsRefusesACountThatIsNotTheSizesBits) {
    EXPECT_TRUE(CompactRange::from_roots(6, {Hash{}, Hash{}}));
    EXPECT_EQ(CompactRange::from_roots(6, {Hash{}}).error().kind(), TreeError::Kind::Damaged);
    EXPECT_EQ(CompactRange::from_roots(0, {Hash{}}).error().kind(), TreeError::Kind::Damaged);
}

}  // namespace
}  // namespace corvel::merkle

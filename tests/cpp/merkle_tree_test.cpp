// The Merkle tree against the public proof vectors and against a plain recursive model written
// from the definitions; the node store's layout, its file form, and damage to that file.
#include <gtest/gtest.h>
#include <simdjson.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "audit_trail/base64.hpp"
#include "audit_trail/file_node_store.hpp"
#include "audit_trail/merkle_tree.hpp"

namespace corvel::merkle {
namespace {

namespace fs = std::filesystem;

// ---- The model: MTH, PATH and SUBPROOF exactly as defined, memoised over one leaf list -------

class Model {
public:
    explicit Model(std::vector<Hash> leaves) : leaves_(std::move(leaves)) {}

    Hash mth(std::uint64_t lo, std::uint64_t hi) {
        if (hi == lo) return empty_root();
        if (hi - lo == 1) return leaves_[lo];
        auto found = memo_.find({lo, hi});
        if (found != memo_.end()) return found->second;
        const std::uint64_t k = split_point(hi - lo);
        const Hash out = node_hash(mth(lo, lo + k), mth(lo + k, hi));
        memo_.emplace(std::make_pair(lo, hi), out);
        return out;
    }

    std::vector<Hash> path(std::uint64_t m, std::uint64_t lo, std::uint64_t hi) {
        const std::uint64_t n = hi - lo;
        if (n == 1) return {};
        const std::uint64_t k = split_point(n);
        std::vector<Hash> out;
        if (m < k) {
            out = path(m, lo, lo + k);
            out.push_back(mth(lo + k, hi));
        } else {
            out = path(m - k, lo + k, hi);
            out.push_back(mth(lo, lo + k));
        }
        return out;
    }

    std::vector<Hash> subproof(std::uint64_t m, std::uint64_t lo, std::uint64_t hi, bool b) {
        const std::uint64_t n = hi - lo;
        if (m == n) return b ? std::vector<Hash>{} : std::vector<Hash>{mth(lo, hi)};
        const std::uint64_t k = split_point(n);
        std::vector<Hash> out;
        if (m <= k) {
            out = subproof(m, lo, lo + k, b);
            out.push_back(mth(lo + k, hi));
        } else {
            out = subproof(m - k, lo + k, hi, false);
            out.push_back(mth(lo, lo + k));
        }
        return out;
    }

    std::vector<Hash> consistency(std::uint64_t m, std::uint64_t n) {
        if (m == 0 || m == n) return {};
        return subproof(m, 0, n, true);
    }

private:
    std::vector<Hash> leaves_;
    std::map<std::pair<std::uint64_t, std::uint64_t>, Hash> memo_;
};

std::vector<Hash> random_leaves(std::size_t count, unsigned seed) {
    std::mt19937_64 random(seed);
    std::vector<Hash> out(count);
    for (Hash& leaf : out) {
        std::array<std::uint8_t, 32> entry_hash;
        for (auto& byte : entry_hash) byte = static_cast<std::uint8_t>(random());
        leaf = leaf_hash(entry_hash);
    }
    return out;
}

MerkleTree memory_tree(const std::vector<Hash>& leaves) {
    auto tree = MerkleTree::open(std::make_unique<MemoryNodeStore>());
    EXPECT_TRUE(tree.has_value());
    for (const Hash& leaf : leaves) EXPECT_TRUE(tree->append(leaf).has_value());
    return std::move(*tree);
}

Hash flipped(Hash hash, std::size_t bit) {
    hash[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    return hash;
}

// The bits of a proof element to flip in a tree of `size` leaves: all 256 up to 16 leaves, then
// one per byte (its position turning with the byte and the element) to keep the run short.
std::vector<std::size_t> bits_to_flip(std::uint64_t size, std::size_t element) {
    std::vector<std::size_t> out;
    for (std::size_t bit = 0; bit < 256; ++bit) {
        if (size <= 16 || bit % 8 == (bit / 8 + element) % 8) out.push_back(bit);
    }
    return out;
}

// ---- Hashing ---------------------------------------------------------------------------------

TEST(MerkleHash, LeafNodeAndEmptyRootAreTheDomainSeparatedHashes) {
    // SHA-256 of "", of 0x00, and of 0x01 || 32 zero bytes || 32 zero bytes, computed independently
    // of libsodium (Python hashlib) and pasted as hex.
    EXPECT_EQ(to_hex(empty_root()), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(to_hex(leaf_hash({})), "6e340b9cffb37a989ca544e6bb780a2c78901d3fb33738768511a30617afa01d");
    EXPECT_EQ(to_hex(node_hash(Hash{}, Hash{})), "ae0798d0ecaed2b778eddebf18f071a561c53658c05e76cedecc27cafbdbc577");
}

// ---- Public vectors --------------------------------------------------------------------------

Bytes decode(simdjson::dom::element element) {
    if (element.is_null()) return {};
    const auto bytes = base64_decode(std::string_view(element));
    if (!bytes) throw std::runtime_error("vector holds bad base64");
    return *bytes;
}

std::vector<Bytes> decode_list(simdjson::dom::element element) {
    std::vector<Bytes> out;
    if (element.is_null()) return out;
    for (simdjson::dom::element item : simdjson::dom::array(element)) out.push_back(decode(item));
    return out;
}

struct VectorCounts {
    int good = 0;
    int bad = 0;
};

template <typename Check>
VectorCounts run_vectors(const std::string& folder, Check check) {
    VectorCounts counts;
    simdjson::dom::parser parser;
    for (const auto& file : fs::recursive_directory_iterator(std::string(CORVEL_MERKLE_DATA_DIR) + "/" + folder)) {
        if (file.path().extension() != ".json") continue;
        simdjson::dom::element doc = parser.load(file.path().string());
        const bool want_error = bool(doc["wantErr"]);
        const bool verified = check(doc);
        EXPECT_EQ(verified, !want_error) << file.path() << ": " << std::string_view(doc["desc"]);
        (want_error ? counts.bad : counts.good)++;
    }
    return counts;
}

TEST(MerkleVectors, EveryInclusionCaseAsItsVerdictSays) {
    const VectorCounts counts = run_vectors("inclusion", [](simdjson::dom::element doc) {
        const std::vector<Bytes> proof = decode_list(doc["proof"]);
        return verify_inclusion(uint64_t(doc["leafIdx"]), uint64_t(doc["treeSize"]), decode(doc["leafHash"]), proof,
                                decode(doc["root"]))
            .has_value();
    });
    EXPECT_EQ(counts.good, 6);
    EXPECT_GT(counts.bad, 80);
}

TEST(MerkleVectors, EveryConsistencyCaseAsItsVerdictSays) {
    const VectorCounts counts = run_vectors("consistency", [](simdjson::dom::element doc) {
        const std::vector<Bytes> proof = decode_list(doc["proof"]);
        return verify_consistency(uint64_t(doc["size1"]), uint64_t(doc["size2"]), decode(doc["root1"]),
                                  decode(doc["root2"]), proof)
            .has_value();
    });
    EXPECT_EQ(counts.good, 6);
    EXPECT_GT(counts.bad, 80);
}

// ---- Against the model -----------------------------------------------------------------------

TEST(MerkleModel, RootsAndProofsOfRandomTreesUpTo300LeavesAreTheModels) {
    for (unsigned seed = 1; seed <= 3; ++seed) {
        const std::vector<Hash> leaves = random_leaves(300, seed);
        Model model(leaves);
        MerkleTree tree = memory_tree(leaves);
        std::mt19937_64 random(seed);
        for (std::uint64_t n = 0; n <= 300; ++n) {
            ASSERT_EQ(tree.root_at(n).value(), model.mth(0, n)) << "size " << n;
            // Every index and old size for small trees, a sample for the larger ones.
            const bool every = n <= 64;
            for (int trial = 0; trial < (every ? int(n) + 1 : 12); ++trial) {
                const std::uint64_t m = every ? std::uint64_t(trial) : random() % (n + 1);
                if (m < n) {
                    ASSERT_EQ(tree.inclusion_proof(m, n).value(), model.path(m, 0, n)) << m << " in " << n;
                }
                ASSERT_EQ(tree.consistency_proof(m, n).value(), model.consistency(m, n)) << m << " to " << n;
            }
        }
    }
}

TEST(MerkleModel, TheCompactRangeRootIsTheModelsAfterEveryAppend) {
    const std::vector<Hash> leaves = random_leaves(300, 7);
    Model model(leaves);
    CompactRange range;
    for (std::size_t n = 0; n < leaves.size(); ++n) {
        ASSERT_EQ(range.root(), model.mth(0, n));
        range.append(leaves[n]);
    }
    EXPECT_EQ(range.roots().size(), 4u);  // 300 = 0b100101100
}

// Every proof up to 64 leaves verifies, and none does after a flipped bit of a proof element
// (see bits_to_flip), of the index or of a size. A flipped size is checked against the root the tree has at that size,
// the root a checkpoint of that size carries: against the first root, a proof can still pass
// at another size of the same shape (the RFC 9162 verifiers bind the size only through the
// root), which is why a checkpoint signs size and root together.
constexpr std::uint64_t kTreeLeaves = 128;

Hash root_for(const MerkleTree& tree, std::uint64_t size, const Hash& otherwise) {
    return size <= tree.size() ? tree.root_at(size).value() : otherwise;
}

TEST(MerkleProofs, EveryInclusionProofUpTo64VerifiesAndNoFlippedBitDoes) {
    const std::vector<Hash> leaves = random_leaves(kTreeLeaves, 11);
    MerkleTree tree = memory_tree(leaves);
    for (std::uint64_t n = 1; n <= 64; ++n) {
        const Hash root = tree.root_at(n).value();
        for (std::uint64_t i = 0; i < n; ++i) {
            std::vector<Hash> proof = tree.inclusion_proof(i, n).value();
            ASSERT_TRUE(verify_inclusion(i, n, leaves[i], proof, root)) << i << " in " << n;
            for (std::size_t element = 0; element < proof.size(); ++element) {
                for (std::size_t bit : bits_to_flip(n, element)) {
                    std::vector<Hash> damaged = proof;
                    damaged[element] = flipped(damaged[element], bit);
                    ASSERT_FALSE(verify_inclusion(i, n, leaves[i], damaged, root));
                }
            }
            for (unsigned bit = 0; bit < 64; ++bit) {
                const std::uint64_t other_size = n ^ (1ull << bit);
                ASSERT_FALSE(verify_inclusion(i ^ (1ull << bit), n, leaves[i], proof, root)) << i << " bit " << bit;
                ASSERT_FALSE(verify_inclusion(i, other_size, leaves[i], proof, root_for(tree, other_size, root)))
                    << i << " in " << n << " bit " << bit;
            }
        }
    }
}

TEST(MerkleProofs, EveryConsistencyProofUpTo64VerifiesAndNoFlippedBitDoes) {
    const std::vector<Hash> leaves = random_leaves(kTreeLeaves, 13);
    MerkleTree tree = memory_tree(leaves);
    for (std::uint64_t n = 0; n <= 64; ++n) {
        const Hash new_root = tree.root_at(n).value();
        for (std::uint64_t m = 0; m <= n; ++m) {
            const Hash old_root = tree.root_at(m).value();
            std::vector<Hash> proof = tree.consistency_proof(m, n).value();
            ASSERT_TRUE(verify_consistency(m, n, old_root, new_root, proof)) << m << " to " << n;
            for (std::size_t element = 0; element < proof.size(); ++element) {
                for (std::size_t bit : bits_to_flip(n, element)) {
                    std::vector<Hash> damaged = proof;
                    damaged[element] = flipped(damaged[element], bit);
                    ASSERT_FALSE(verify_consistency(m, n, old_root, new_root, damaged));
                }
            }
            for (unsigned bit = 0; bit < 64; ++bit) {
                const std::uint64_t other_old = m ^ (1ull << bit);
                const std::uint64_t other_new = n ^ (1ull << bit);
                // An empty proof is the right one for a claim from size 0 or between equal sizes,
                // and such a claim over the tree's own roots holds.
                const bool needs_no_proof = other_old == 0 || other_old == n;
                if (!(proof.empty() && needs_no_proof)) {
                    ASSERT_FALSE(verify_consistency(other_old, n, root_for(tree, other_old, old_root), new_root, proof))
                        << m << " to " << n << " bit " << bit;
                }
                // The empty tree is a prefix of every tree: from size 0 any new size holds.
                if (m == 0) continue;
                ASSERT_FALSE(verify_consistency(m, other_new, old_root, root_for(tree, other_new, new_root), proof))
                    << m << " to " << n << " bit " << bit;
            }
        }
    }
}

TEST(MerkleProofs, RequestsBeyondTheTreeAreRefusedWithClearText) {
    MerkleTree tree = memory_tree(random_leaves(5, 17));
    EXPECT_EQ(tree.inclusion_proof(5, 5).error().message(), "Merkle tree: leaf 5 is not in a tree of 5 leaves");
    EXPECT_EQ(tree.inclusion_proof(0, 6).error().message(), "Merkle tree: size 6 is beyond the tree's 5 leaves");
    EXPECT_EQ(tree.consistency_proof(4, 3).error().kind(), TreeError::Kind::OutOfRange);
    EXPECT_EQ(tree.root_at(6).error().kind(), TreeError::Kind::OutOfRange);
    EXPECT_EQ(tree.leaf(5).error().kind(), TreeError::Kind::OutOfRange);
}

TEST(MerkleProofs, RefusalsNameTheirReason) {
    const std::vector<Bytes> short_element = {Bytes(31)};
    EXPECT_EQ(verify_inclusion(0, 2, Bytes(32), short_element, Bytes(32)).error().message(),
              "Merkle proof refused: the proof element 0 is not 32 bytes");
    const std::vector<Hash> none;
    EXPECT_EQ(verify_inclusion(0, 2, Hash{}, none, Hash{}).error().kind(), ProofError::Kind::ProofTooShort);
    EXPECT_EQ(verify_consistency(3, 2, Hash{}, Hash{}, none).error().kind(), ProofError::Kind::SizesReversed);
    EXPECT_EQ(verify_consistency(0, 2, Hash{}, Hash{}, none).error().kind(), ProofError::Kind::NotEmptyRoot);
}

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

    ASSERT_TRUE(tree.truncate(33));
    EXPECT_EQ(tree.size(), 33u);
    EXPECT_EQ(tree.root(), Model(leaves).mth(0, 33));
    EXPECT_EQ(fs::file_size(path_), record_offset(records_for_leaves(33)));
    EXPECT_EQ(tree.truncate(34).error().kind(), TreeError::Kind::OutOfRange);
    ASSERT_TRUE(tree.append(leaves[33]));
    EXPECT_EQ(reopen().value().root(), Model(leaves).mth(0, 34));
}

TEST(CompactRangeTest, FromRootsRefusesACountThatIsNotTheSizesBits) {
    EXPECT_TRUE(CompactRange::from_roots(6, {Hash{}, Hash{}}));
    EXPECT_EQ(CompactRange::from_roots(6, {Hash{}}).error().kind(), TreeError::Kind::Damaged);
    EXPECT_EQ(CompactRange::from_roots(0, {Hash{}}).error().kind(), TreeError::Kind::Damaged);
}

}  // namespace
}  // namespace corvel::merkle

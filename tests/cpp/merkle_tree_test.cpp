// The Merkle tree against the public proof vectors and against the plain recursive model of
// support/merkle_model.hpp, and what the verifiers refuse.
#include <gtest/gtest.h>
#include <simdjson.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "base/hex.hpp"
#include "note/base64.hpp"
#include "merkle/merkle_tree.hpp"
#include "support/merkle_model.hpp"

namespace corvel::merkle {
namespace {

namespace fs = std::filesystem;
using test::memory_tree;
using test::Model;
using test::random_leaves;

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

}  // namespace
}  // namespace corvel::merkle

// The trail's Merkle tree: an inclusion proof for one entry of a 10^6-leaf tree read from the
// file-backed node store (with the peak memory of a process doing only that), the verification
// of such a proof, and the cost of one append to the compact range alone, with the in-memory
// store and with the file store.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

#include "child_peak_rss.hpp"
#include "crypto/initialize.hpp"
#include "merkle/file_node_store.hpp"
#include "merkle/merkle_tree.hpp"
#include "base/os_facilities.hpp"

namespace corvel::merkle {
namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t kLeaves = 1'000'000;

fs::path g_dir;
std::string g_tree_path;

Hash leaf_number(std::uint64_t i) {
    std::array<std::uint8_t, 32> entry_hash{};
    for (int b = 0; b < 8; ++b) entry_hash[b] = static_cast<std::uint8_t>(i >> (8 * b));
    return leaf_hash(entry_hash);
}

MerkleTree open_big_tree() {
    auto store = FileNodeStore::open(g_tree_path);
    if (!store) throw std::runtime_error(store.error().message());
    auto tree = MerkleTree::open(std::move(*store));
    if (!tree) throw std::runtime_error(tree.error().message());
    return std::move(*tree);
}

void BM_InclusionProofFileBacked(benchmark::State& state) {
    const MerkleTree tree = open_big_tree();
    std::mt19937_64 random(1);
    std::size_t elements = 0;
    for (auto _ : state) {
        auto proof = tree.inclusion_proof(random() % kLeaves, kLeaves);
        if (!proof) {
            state.SkipWithError(proof.error().message().c_str());
            break;
        }
        elements = proof->size();
        benchmark::DoNotOptimize(proof);
    }
    state.counters["proof_hashes"] = static_cast<double>(elements);
}
BENCHMARK(BM_InclusionProofFileBacked)->Unit(benchmark::kMicrosecond);

void BM_ConsistencyProofFileBacked(benchmark::State& state) {
    const MerkleTree tree = open_big_tree();
    std::mt19937_64 random(2);
    for (auto _ : state) {
        auto proof = tree.consistency_proof(1 + random() % (kLeaves - 1), kLeaves);
        if (!proof) {
            state.SkipWithError(proof.error().message().c_str());
            break;
        }
        benchmark::DoNotOptimize(proof);
    }
}
BENCHMARK(BM_ConsistencyProofFileBacked)->Unit(benchmark::kMicrosecond);

void BM_VerifyInclusion(benchmark::State& state) {
    const MerkleTree tree = open_big_tree();
    const std::uint64_t index = 123'457;
    const auto proof = tree.inclusion_proof(index, kLeaves).value();
    const Hash root = tree.root();
    const Hash leaf = leaf_number(index);
    for (auto _ : state) {
        auto verified = verify_inclusion(index, kLeaves, leaf, proof, root);
        if (!verified) {
            state.SkipWithError(verified.error().message().c_str());
            break;
        }
    }
}
BENCHMARK(BM_VerifyInclusion)->Unit(benchmark::kMicrosecond);

// ---- Appends ---------------------------------------------------------------------------------

void BM_LeafHashOnly(benchmark::State& state) {
    std::uint64_t i = 0;
    for (auto _ : state) benchmark::DoNotOptimize(leaf_number(i++));
}
BENCHMARK(BM_LeafHashOnly);

void BM_AppendCompactRange(benchmark::State& state) {
    CompactRange range;
    std::uint64_t i = 0;
    for (auto _ : state) range.append(leaf_number(i++));
    benchmark::DoNotOptimize(range.root());
}
BENCHMARK(BM_AppendCompactRange);

void BM_AppendMemoryStore(benchmark::State& state) {
    MerkleTree tree = MerkleTree::open(std::make_unique<MemoryNodeStore>()).value();
    std::uint64_t i = 0;
    for (auto _ : state) {
        if (!tree.append(leaf_number(i++))) state.SkipWithError("append failed");
    }
}
BENCHMARK(BM_AppendMemoryStore);

// No sync: the trail writer decides when the sidecar is made durable, with its own syncs.
void BM_AppendFileStore(benchmark::State& state) {
    const std::string path = (g_dir / "append.nodes").string();
    MerkleTree tree = MerkleTree::open(FileNodeStore::replace(path).value()).value();
    std::uint64_t i = 0;
    for (auto _ : state) {
        auto appended = tree.append(leaf_number(i++));
        if (!appended) {
            state.SkipWithError(appended.error().message().c_str());
            break;
        }
    }
    std::error_code ignored;
    fs::remove(path, ignored);
}
BENCHMARK(BM_AppendFileStore);

// ---- Memory ----------------------------------------------------------------------------------

// Opens the 10^6-leaf file store and makes 10000 inclusion proofs, for the peak-memory figure.
bool prove_many() {
    const MerkleTree tree = open_big_tree();
    std::mt19937_64 random(3);
    for (int i = 0; i < 10000; ++i) {
        if (!tree.inclusion_proof(random() % kLeaves, kLeaves)) return false;
    }
    return true;
}

}  // namespace
}  // namespace corvel::merkle

int main(int argc, char** argv) {
    using namespace corvel::merkle;
    corvel::initialize_crypto();

    std::string dir_pattern = (fs::temp_directory_path() / "corvel-merkle-bench-XXXXXX").string();
    if (::mkdtemp(dir_pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    g_dir = dir_pattern;
    g_tree_path = (g_dir / "trail.nodes").string();
    {
        MerkleTree tree = MerkleTree::open(FileNodeStore::create(g_tree_path).value()).value();
        for (std::uint64_t i = 0; i < kLeaves; ++i) {
            if (!tree.append(leaf_number(i))) {
                std::fprintf(stderr, "building the tree failed\n");
                return 1;
            }
        }
    }
    std::printf("node store: %llu leaves, %.1f MB\n", static_cast<unsigned long long>(kLeaves),
                static_cast<double>(fs::file_size(g_tree_path)) / 1e6);
    const long idle = corvel::tools::child_peak_rss_kib(nullptr);
    const long proving = corvel::tools::child_peak_rss_kib(&prove_many);
    std::printf("peak RSS of a process making 10000 proofs: %.1f MiB (%.1f MiB above an idle one; target < 64 MiB)\n\n",
                static_cast<double>(proving) / 1024, static_cast<double>(proving - idle) / 1024);

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    std::error_code ignored;
    fs::remove_all(g_dir, ignored);
    return 0;
}

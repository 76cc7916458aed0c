// Replay defence and audit-log loading: nonce insertion up to the store's limit, proof
// verification against raw Ed25519 verification, and loading a ~50 MB storage file against
// simdjson's own parse of it, with the load's peak memory.

#include <benchmark/benchmark.h>
#include <simdjson.h>
#include <sodium.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "child_peak_rss.hpp"
#include "audit_log/audit_log.hpp"
#include "auditor/proof_auditor.hpp"
#include "base/os_facilities.hpp"
#include "crypto/initialize.hpp"
#include "crypto/key_store.hpp"
#include "nonce_store/memory_nonce_store.hpp"

namespace corvel {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kTargetFileBytes = 50u << 20;

std::string g_log_path;
std::size_t g_log_bytes = 0;

// ---- Nonce store ----------------------------------------------------------------------------

const std::vector<Nonce>& random_nonces() {
    static const std::vector<Nonce> nonces = [] {
        std::vector<Nonce> out(MemoryNonceStore::kMaxNonces);
        for (Nonce& nonce : out) fill_random(nonce);
        return out;
    }();
    return nonces;
}

// Fills a fresh store to its limit; the figure is the cost of one check_and_insert.
void BM_NonceStoreInsert(benchmark::State& state) {
    const std::vector<Nonce>& nonces = random_nonces();
    for (auto _ : state) {
        state.PauseTiming();
        auto store = std::make_unique<MemoryNonceStore>();
        state.ResumeTiming();
        for (const Nonce& nonce : nonces) {
            auto inserted = store->check_and_insert(nonce, 60);
            benchmark::DoNotOptimize(inserted);
        }
        state.PauseTiming();
        if (store->count() != nonces.size()) state.SkipWithError("store lost nonces");
        store.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * nonces.size()));
    state.counters["ns_per_insert"] = benchmark::Counter(
        static_cast<double>(nonces.size()), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_NonceStoreInsert)->Unit(benchmark::kMillisecond);

// ---- Proof verification ---------------------------------------------------------------------

const Seed kBenchSeed{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16,
                      17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};

std::vector<IntegrityProof> signed_proofs(std::size_t count) {
    const SoftwareKeyStore signer = SoftwareKeyStore::from_seed(kBenchSeed);
    const Action action{ActionKind::Write, "/var/data/report.txt", Bytes(32, 7), std::nullopt};
    std::vector<IntegrityProof> proofs;
    proofs.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        IntegrityProof proof = IntegrityProof::create(action, std::string(64, 'e'), 3600);
        proof.signature = signer.sign(proof.signing_data()).value();
        proofs.push_back(std::move(proof));
    }
    return proofs;
}

// Each iteration presents a proof with a fresh nonce; when the pool of proofs is used up the
// store is emptied (outside the timing) and the pool presented again.
void BM_VerifyProof(benchmark::State& state) {
    const std::vector<IntegrityProof> proofs = signed_proofs(4096);
    auto nonces = std::make_unique<MemoryNonceStore>();
    MemoryNonceStore* store = nonces.get();
    ProofAuditor auditor(std::make_unique<SoftwareKeyStore>(SoftwareKeyStore::from_seed(kBenchSeed)), std::move(nonces));
    std::size_t next = 0;
    for (auto _ : state) {
        if (next == proofs.size()) {
            state.PauseTiming();
            (void)store->clear();
            next = 0;
            state.ResumeTiming();
        }
        auto verdict = auditor.verify_proof(proofs[next++]);
        if (!verdict) {
            state.SkipWithError(verdict.error().message().c_str());
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_VerifyProof)->Unit(benchmark::kMicrosecond);

// The floor: libsodium's verification of the same 144 bytes.
void BM_RawEd25519Verify(benchmark::State& state) {
    const IntegrityProof proof = signed_proofs(1).front();
    const Bytes data = proof.signing_data();
    const SoftwareKeyStore key = SoftwareKeyStore::from_seed(kBenchSeed);
    const Bytes public_key = key.public_key_bytes();
    for (auto _ : state) {
        const int result =
            crypto_sign_verify_detached(proof.signature.data(), data.data(), data.size(), public_key.data());
        benchmark::DoNotOptimize(result);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RawEd25519Verify)->Unit(benchmark::kMicrosecond);

// ---- Audit-log loading ----------------------------------------------------------------------

void append_bytes(std::string& out, std::mt19937_64& random, std::size_t count) {
    out += '[';
    for (std::size_t i = 0; i < count; ++i) {
        if (i != 0) out += ',';
        out += std::to_string(random() & 0xFF);
    }
    out += ']';
}

// Entries as a compact JSON writer would emit them, with the usual mix of kinds and verdicts.
std::string generate_log(std::size_t target_bytes) {
    static const char* kKinds[] = {"\"Delete\"", "\"Write\"", "\"Read\"", "\"Execute\"", "\"Network\"",
                                   "{\"Custom\":\"deploy\"}"};
    std::mt19937_64 random(2024);
    std::string out = "[";
    out.reserve(target_bytes + 4096);
    for (std::uint64_t index = 0; out.size() < target_bytes; ++index) {
        const char* kind = kKinds[index % 6];
        if (index != 0) out += ',';
        out += "{\"index\":" + std::to_string(index) + ",\"timestamp\":" + std::to_string(1700000000 + index);
        out += ",\"action\":{\"action_type\":";
        out += kind;
        out += ",\"target\":\"/var/data/records/file_" + std::to_string(index) + ".txt\",\"payload\":";
        if (index % 3 == 0) {
            out += "null";
        } else {
            append_bytes(out, random, 24);
        }
        out += index % 4 == 0 ? ",\"metadata\":\"batch \\\"nightly\\\"\"}" : ",\"metadata\":null}";
        out += ",\"proof\":{\"nonce\":";
        append_bytes(out, random, 32);
        out += ",\"timestamp\":" + std::to_string(1700000000 + index) + ",\"ttl\":60,\"action_hash\":";
        append_bytes(out, random, 32);
        out += ",\"action_type\":";
        out += kind;
        out += ",\"capsule_hash\":\"" + std::string(64, 'a') + "\",\"status\":";
        out += index % 10 == 7 ? "{\"Failed\":\"Action violates charter rules\"}" : "\"OK\"";
        out += ",\"signature\":";
        append_bytes(out, random, 64);
        out += "},\"decision\":";
        out += index % 10 == 7 ? "{\"Denied\":{\"reason\":\"Action violates charter rules\"}}" : "\"Approved\"";
        out += ",\"prev_hash\":";
        append_bytes(out, random, 32);
        out += ",\"current_hash\":";
        append_bytes(out, random, 32);
        out += ",\"signature\":";
        append_bytes(out, random, 64);
        out += '}';
    }
    out += "]\n";
    return out;
}

void BM_AuditLogLoad(benchmark::State& state) {
    std::size_t entries = 0;
    for (auto _ : state) {
        auto log = AuditLog::with_storage(SoftwareKeyStore::generate(), g_log_path);
        if (!log) {
            state.SkipWithError(log.error().message().c_str());
            break;
        }
        entries = log->size();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * g_log_bytes));
    state.counters["entries"] = static_cast<double>(entries);
}
BENCHMARK(BM_AuditLogLoad)->Unit(benchmark::kMillisecond);

// The reference: simdjson's full parse of the same bytes, already in memory.
void BM_SimdjsonDomParse(benchmark::State& state) {
    simdjson::padded_string text;
    if (simdjson::padded_string::load(g_log_path).get(text)) {
        state.SkipWithError("cannot load the file");
        return;
    }
    simdjson::dom::parser parser;
    for (auto _ : state) {
        simdjson::dom::element root;
        if (parser.parse(text).get(root)) {
            state.SkipWithError("simdjson refused the file");
            break;
        }
        benchmark::DoNotOptimize(root);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_SimdjsonDomParse)->Unit(benchmark::kMillisecond);

// One load of the storage file, for the peak-memory figure.
bool load_once() { return AuditLog::with_storage(SoftwareKeyStore::generate(), g_log_path).has_value(); }

// Prints the ratios that the figures above are judged by (run with --benchmark_repetitions=N
// for steadier ratios).
class SummaryReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        // The best of the repetitions: on a shared machine the slower ones measure the neighbours.
        for (const Run& run : runs) {
            if (run.error_occurred || run.run_type != Run::RT_Iteration) continue;
            const std::string& name = run.run_name.function_name;
            const double seconds = run.GetAdjustedRealTime();
            if (!seconds_.contains(name) || seconds < seconds_[name]) seconds_[name] = seconds;
        }
        ConsoleReporter::ReportRuns(runs);
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        const auto ratio = [&](const char* a, const char* b) -> double {
            if (!seconds_.contains(a) || !seconds_.contains(b) || seconds_[b] == 0) return 0;
            return seconds_[a] / seconds_[b];
        };
        std::printf("\nverify_proof / raw verify:          %.3fx (target <= 1.10x)\n",
                    ratio("BM_VerifyProof", "BM_RawEd25519Verify"));
        const double load_vs_parse = ratio("BM_SimdjsonDomParse", "BM_AuditLogLoad");
        std::printf("load speed / simdjson parse speed:  %.1f%% (target >= 40%%)\n", 100 * load_vs_parse);
    }

private:
    std::map<std::string, double> seconds_;
};

}  // namespace
}  // namespace corvel

int main(int argc, char** argv) {
    using namespace corvel;
    initialize_crypto();

    std::string dir_pattern = (fs::temp_directory_path() / "corvel-bench-XXXXXX").string();
    if (::mkdtemp(dir_pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const fs::path dir = dir_pattern;
    g_log_path = (dir / "audit.json").string();
    {
        const std::string text = generate_log(kTargetFileBytes);
        std::ofstream(g_log_path, std::ios::binary).write(text.data(), static_cast<std::streamsize>(text.size()));
        g_log_bytes = text.size();
    }

    // The high-water mark of a child that loads the file, less that of a child that does nothing.
    const long idle = tools::child_peak_rss_kib(nullptr);
    const long loading = tools::child_peak_rss_kib(&load_once);
    const double peak = static_cast<double>(loading - idle) * 1024;
    std::printf("storage file: %.1f MB; peak memory of one load: %.1f MB = %.2fx the file (target < 2x)\n\n",
                static_cast<double>(g_log_bytes) / 1e6, peak / 1e6, peak / static_cast<double>(g_log_bytes));

    benchmark::Initialize(&argc, argv);
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    std::error_code ignored;
    fs::remove_all(dir, ignored);
    return 0;
}

// The audit trail against its floor, in one run: appends against raw libsodium signing (with no
// sync, a sync every 1000 appends, and a sync on each append beside a bare fsync, from one
// thread and from eight), the verifier against raw signature checks (and, over a million
// entries, checked against a checkpoint, in full on one core and on all), opening a writer beside
// a bare read of the file, and the cost the Merkle tree adds to an append.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <malloc.h>
#include <sodium.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "crypto/initialize.hpp"
#include "merkle/file_node_store.hpp"
#include "merkle/merkle_hash.hpp"
#include "merkle/merkle_tree.hpp"
#include "audit_trail/trail_checkpoint.hpp"
#include "audit_trail/trail_entry.hpp"
#include "audit_trail/trail_evidence.hpp"
#include "audit_trail/trail_json.hpp"
#include "audit_trail/trail_signatures.hpp"
#include "audit_trail/trail_verifier.hpp"
#include "audit_trail/trail_writer.hpp"
#include "base/os_facilities.hpp"

namespace {

using namespace corvel;
namespace fs = std::filesystem;

const std::shared_ptr<const TrailKey>& bench_key() {
    static const auto key = std::make_shared<const TrailKey>(TrailKey::generate());
    return key;
}

std::string fresh_path(const std::string& name) {
    const fs::path dir = fs::temp_directory_path() / "corvel-trail-bench";
    fs::create_directories(dir);
    const fs::path path = dir / name;
    fs::remove(path);
    fs::remove(path.string() + ".tree");
    fs::remove(path.string() + ".checkpoint");
    return path.string();
}

// A typical entry: a write action with a 256-byte payload and its charter proof.
struct Decided {
    Action action{ActionType(ActionKind::Write), "/srv/app/data/report.txt", Bytes(256, 0x5a), std::nullopt};
    IntegrityProof proof = IntegrityProof::create(action, std::string(64, 'c'), 300);
    Decided() { proof.signature.assign(64, 1); }
};

// The raw references sign and check distinct messages, as the trail does: Ed25519 verification
// runs in variable time, and one signature checked over and over lets the branch predictor
// learn its scalars, which overstates the library's rate on real input.
constexpr std::size_t kDistinct = 4096;

struct SignedMessages {
    unsigned char public_key[crypto_sign_PUBLICKEYBYTES];
    unsigned char secret_key[crypto_sign_SECRETKEYBYTES];
    std::vector<std::array<std::uint8_t, 58>> messages{kDistinct};
    std::vector<std::array<std::uint8_t, crypto_sign_BYTES>> signatures{kDistinct};

    SignedMessages() {
        crypto_sign_keypair(public_key, secret_key);
        for (std::size_t i = 0; i < kDistinct; ++i) {
            randombytes_buf(messages[i].data(), messages[i].size());
            crypto_sign_detached(signatures[i].data(), nullptr, messages[i].data(), messages[i].size(), secret_key);
        }
    }
};

void BM_RawSign(benchmark::State& state) {
    SignedMessages raw;
    unsigned char signature[crypto_sign_BYTES];
    std::size_t i = 0;
    for (auto _ : state) {
        const auto& message = raw.messages[i++ % kDistinct];
        crypto_sign_detached(signature, nullptr, message.data(), message.size(), raw.secret_key);
        benchmark::DoNotOptimize(signature);
    }
}
BENCHMARK(BM_RawSign);

void BM_RawVerify(benchmark::State& state) {
    SignedMessages raw;
    std::size_t i = 0;
    for (auto _ : state) {
        const std::size_t at = i++ % kDistinct;
        const auto& message = raw.messages[at];
        if (crypto_sign_verify_detached(raw.signatures[at].data(), message.data(), message.size(), raw.public_key) != 0)
            state.SkipWithError("a signature failed");
    }
}
BENCHMARK(BM_RawVerify);

// What a durable append cannot do without: its line written at the end of the file, and synced.
void bare_write_and_sync(int fd, const std::string& line) {
    benchmark::DoNotOptimize(::write(fd, line.data(), line.size()));
    ::fdatasync(fd);
}

void BM_BareFsync(benchmark::State& state) {
    const std::string path = fresh_path("fsync.bin");
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const std::string line(1400, 'x');
    for (auto _ : state) bare_write_and_sync(fd, line);
    ::close(fd);
}
BENCHMARK(BM_BareFsync)->UseRealTime();

void append_loop(benchmark::State& state, SyncPolicy policy) {
    auto writer = TrailWriter::open(fresh_path("append.json"), bench_key(), policy);
    if (!writer) {
        state.SkipWithError(writer.error().message().c_str());
        return;
    }
    Decided decided;
    for (auto _ : state) {
        decided.proof.nonce = random_array<32>();
        auto appended = (*writer)->append(decided.action, decided.proof, Decision::approved());
        if (!appended) state.SkipWithError(appended.error().message().c_str());
    }
    (void)(*writer)->sync();
}

void BM_AppendNoSync(benchmark::State& state) { append_loop(state, SyncPolicy{0, {}, {}}); }
BENCHMARK(BM_AppendNoSync)->UseRealTime();

void BM_AppendSyncEvery1000(benchmark::State& state) { append_loop(state, SyncPolicy{1000, {}, {}}); }
BENCHMARK(BM_AppendSyncEvery1000)->UseRealTime();

void BM_AppendSyncEach(benchmark::State& state) { append_loop(state, SyncPolicy{1, {}, {}}); }
BENCHMARK(BM_AppendSyncEach)->UseRealTime()->Iterations(2000);

// Durable appends and bare write+fdatasync pairs of a line as long as an entry's, timed in
// alternating blocks so that a disk whose speed drifts during the run slows both alike; the
// ratio is the appends' rate over the bare rate.
void BM_AppendSyncEachBesideBareFsync(benchmark::State& state) {
    constexpr int kBlock = 50;
    const std::string trail_path = fresh_path("beside.json");
    auto writer = TrailWriter::open(trail_path, bench_key(), SyncPolicy{1, {}, {}});
    const std::string bare_path = fresh_path("beside.bin");
    const int fd = ::open(bare_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (!writer || fd < 0) {
        state.SkipWithError("cannot open the files");
        return;
    }
    Decided decided;
    (void)(*writer)->append(decided.action, decided.proof, Decision::approved());
    // The file now holds "[" LF, one entry line and LF "]" LF.
    const std::string line(static_cast<std::size_t>(fs::file_size(trail_path)) - 5, 'x');
    std::chrono::duration<double> bare{0}, appends{0};
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < kBlock; ++i) bare_write_and_sync(fd, line);
        auto middle = std::chrono::steady_clock::now();
        for (int i = 0; i < kBlock; ++i) {
            decided.proof.nonce = random_array<32>();
            if (!(*writer)->append(decided.action, decided.proof, Decision::approved())) {
                state.SkipWithError("an append failed");
                break;
            }
        }
        auto end = std::chrono::steady_clock::now();
        bare += middle - start;
        appends += end - middle;
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
    }
    ::close(fd);
    const double blocks = static_cast<double>(state.iterations()) * kBlock;
    state.counters["bare_us"] = bare.count() / blocks * 1e6;
    state.counters["append_us"] = appends.count() / blocks * 1e6;
    state.counters["rate_ratio"] = bare.count() / appends.count();
}
BENCHMARK(BM_AppendSyncEachBesideBareFsync)->UseManualTime()->Iterations(40);

// Eight threads appending at once, each append durable before it returns: group commit.
void BM_AppendSyncEachEightThreads(benchmark::State& state) {
    constexpr int kThreads = 8;
    constexpr int kEach = 500;
    std::uint64_t syncs = 0;
    for (auto _ : state) {
        auto writer = TrailWriter::open(fresh_path("threads.json"), bench_key(), SyncPolicy{1, {}, {}});
        if (!writer) {
            state.SkipWithError(writer.error().message().c_str());
            return;
        }
        const auto start = std::chrono::steady_clock::now();
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&] {
                Decided decided;
                for (int i = 0; i < kEach; ++i) {
                    decided.proof.nonce = random_array<32>();
                    if (!(*writer)->append(decided.action, decided.proof, Decision::approved())) std::abort();
                }
            });
        }
        for (auto& thread : threads) thread.join();
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        syncs += (*writer)->syncs();
    }
    state.SetItemsProcessed(state.iterations() * kThreads * kEach);
    state.counters["entries_per_sync"] = static_cast<double>(state.iterations() * kThreads * kEach) / syncs;
}
BENCHMARK(BM_AppendSyncEachEightThreads)->UseManualTime()->Iterations(3);

// What the Merkle tree beside the trail adds to each append: a leaf into the file-backed tree.
void BM_TreeAppendAlone(benchmark::State& state) {
    const std::string path = fresh_path("alone.tree");
    auto store = merkle::FileNodeStore::create(path);
    auto tree = merkle::MerkleTree::open(std::move(*store));
    Hash32 hash{};
    for (auto _ : state) {
        hash[0]++;
        if (!tree->append(merkle::leaf_hash(hash))) state.SkipWithError("tree append failed");
    }
}
BENCHMARK(BM_TreeAppendAlone)->UseRealTime();

// The trail's verifier over a file of range(0) entries, per entry.
void BM_VerifyPerEntry(benchmark::State& state) {
    const std::string path = fresh_path("verify.json");
    {
        auto writer = TrailWriter::open(path, bench_key(), SyncPolicy{0, {}, {}});
        Decided decided;
        for (std::int64_t i = 0; i < state.range(0); ++i) {
            decided.proof.nonce = random_array<32>();
            (void)(*writer)->append(decided.action, decided.proof, Decision::approved());
        }
    }
    for (auto _ : state) {
        auto summary = verify_trail(path, bench_key()->public_key().bytes());
        if (!summary) state.SkipWithError(summary.error().message().c_str());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_VerifyPerEntry)->Arg(20000)->UseRealTime();

// A trail of a million entries with its checkpoint beside it, written once for the benches below.
constexpr std::int64_t kLargeTrail = 1'000'000;
const std::string& large_trail() {
    static const std::string path = [] {
        const std::string out = fresh_path("large.json");
        auto writer = TrailWriter::open(out, bench_key(), SyncPolicy{0, {}, "bench.example/log"});
        Decided decided;
        for (std::int64_t i = 0; i < kLargeTrail; ++i) {
            decided.proof.nonce = random_array<32>();
            if (!(*writer)->append(decided.action, decided.proof, Decision::approved())) std::abort();
        }
        if (!(*writer)->close()) std::abort();  // syncs, and so writes the checkpoint
        return out;
    }();
    return path;
}

void verify_large(benchmark::State& state, bool full, unsigned threads) {
    const std::string& path = large_trail();
    std::string note;
    std::getline(std::ifstream(checkpoint_path_for(path)), note, '\0');
    set_signature_threads(threads);
    for (auto _ : state) {
        auto summary = verify_trail_prefix(path, bench_key()->public_key().bytes(), note, {}, {}, full);
        if (!summary || static_cast<std::int64_t>(summary->count) != kLargeTrail) state.SkipWithError("verify failed");
    }
    set_signature_threads(0);
    state.SetItemsProcessed(state.iterations() * kLargeTrail);
}

void BM_VerifyCoveredMillion(benchmark::State& state) { verify_large(state, false, 0); }
BENCHMARK(BM_VerifyCoveredMillion)->UseRealTime()->Iterations(1);
void BM_VerifyFullMillionOneCore(benchmark::State& state) { verify_large(state, true, 1); }
BENCHMARK(BM_VerifyFullMillionOneCore)->UseRealTime()->Iterations(1);
void BM_VerifyFullMillionAllCores(benchmark::State& state) { verify_large(state, true, 0); }
BENCHMARK(BM_VerifyFullMillionAllCores)->UseRealTime()->Iterations(1);

std::int64_t status_kib(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field, 0) == 0) return std::stoll(line.substr(std::string_view(field).size()));
    }
    return -1;
}

// Opening a writer on the million-entry trail, in a child process so that its peak memory is
// its own: the time and the peak resident memory it adds, beside a bare read of the file.
void BM_OpenWriterMillion(benchmark::State& state) {
    const std::string& path = large_trail();
    for (auto _ : state) {
        int pipe_fds[2];
        if (::pipe(pipe_fds) != 0) std::abort();
        const pid_t child = ::fork();
        if (child == 0) {
            // Memory the parent freed would be reused unseen: it goes back to the system first.
            // The peak is the parent's until reset: "5" resets it to the current resident size.
            ::malloc_trim(0);
            std::ofstream("/proc/self/clear_refs") << "5";
            const std::int64_t before = status_kib("VmRSS:");
            const auto start = std::chrono::steady_clock::now();
            auto writer = TrailWriter::open(path, bench_key());
            const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            const double out[2] = {writer ? seconds : -1.0, static_cast<double>(status_kib("VmHWM:") - before)};
            (void)!::write(pipe_fds[1], out, sizeof out);
            ::_exit(0);
        }
        double got[2] = {-1, -1};
        (void)!::read(pipe_fds[0], got, sizeof got);
        ::waitpid(child, nullptr, 0);
        ::close(pipe_fds[0]);
        ::close(pipe_fds[1]);
        if (got[0] < 0) state.SkipWithError("open failed");
        state.SetIterationTime(got[0]);
        state.counters["peak_added_MiB"] = got[1] / 1024.0;
    }
}
BENCHMARK(BM_OpenWriterMillion)->UseManualTime()->Iterations(1);

void BM_BareReadMillion(benchmark::State& state) {
    const std::string& path = large_trail();
    std::vector<char> buffer(1 << 20);
    for (auto _ : state) {
        const int fd = ::open(path.c_str(), O_RDONLY);
        std::uint64_t total = 0;
        for (ssize_t got; (got = ::read(fd, buffer.data(), buffer.size())) > 0;) total += static_cast<std::uint64_t>(got);
        ::close(fd);
        benchmark::DoNotOptimize(total);
    }
}
BENCHMARK(BM_BareReadMillion)->UseRealTime()->Iterations(3);

// The verifier's per-entry work besides the signature check: parsing a line, hashing the entry.
std::string typical_line() {
    Decided decided;
    TrailEntry entry{AuditEntry{7, 1'700'000'000, decided.action, decided.proof, Decision::approved(), {}, {}, {}}, {}};
    entry.entry.current_hash = entry_hash(entry);
    entry.entry.signature.assign(64, 3);
    std::string line;
    render_entry_json(line, entry);
    return line;
}

void BM_ParseEntryLine(benchmark::State& state) {
    std::string line = typical_line();
    const std::size_t size = line.size();
    line.append(TrailEntryParser::kPadding, ' ');
    TrailEntryParser parser;
    for (auto _ : state) {
        auto entry = parser.parse(std::string_view(line).substr(0, size));
        if (!entry) state.SkipWithError(entry.error().c_str());
        benchmark::DoNotOptimize(entry);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}
BENCHMARK(BM_ParseEntryLine);

// The same line through the thorough parser alone, which every refusal goes through.
void BM_ParseEntryLineThorough(benchmark::State& state) {
    std::string line = typical_line();
    const std::size_t size = line.size();
    line.append(TrailEntryParser::kPadding, ' ');
    TrailEntryParser parser;
    for (auto _ : state) {
        auto entry = parser.parse_thoroughly(std::string_view(line).substr(0, size));
        if (!entry) state.SkipWithError(entry.error().c_str());
        benchmark::DoNotOptimize(entry);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}
BENCHMARK(BM_ParseEntryLineThorough);

void BM_EntryHash(benchmark::State& state) {
    Decided decided;
    const TrailEntry entry{AuditEntry{7, 1'700'000'000, decided.action, decided.proof, Decision::approved(), {}, {}, {}},
                           {}};
    for (auto _ : state) benchmark::DoNotOptimize(entry_hash(entry));
}
BENCHMARK(BM_EntryHash);

void BM_VerifyEvidence(benchmark::State& state) {
    const std::string path = fresh_path("evidence.json");
    {
        auto writer = TrailWriter::open(path, bench_key(), SyncPolicy{0, {}, "bench.example/log"});
        Decided decided;
        for (int i = 0; i < 1000; ++i) {
            decided.proof.nonce = random_array<32>();
            (void)(*writer)->append(decided.action, decided.proof, Decision::approved());
        }
        (void)(*writer)->close();  // syncs, and so writes the checkpoint
    }
    const auto evidence = prove_entry(path, 517);
    const auto key = VerifierKey::make("bench.example/log", bench_key()->public_key().bytes());
    if (!evidence || !key) {
        state.SkipWithError("no evidence");
        return;
    }
    for (auto _ : state) {
        auto summary = verify_evidence(*evidence, *key);
        if (!summary) state.SkipWithError(summary.error().message().c_str());
    }
}
BENCHMARK(BM_VerifyEvidence);

}  // namespace

int main(int argc, char** argv) {
    initialize_crypto();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
}

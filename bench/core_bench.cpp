// The proof core's hot paths, with raw libsodium over the same 144 bytes as the reference.
#include <benchmark/benchmark.h>
#include <sodium.h>

#include "charter/sealed_charter.hpp"
#include "crypto/initialize.hpp"
#include "crypto/key_store.hpp"

namespace corvel {
namespace {

const Action kTypicalAction{ActionKind::Write, "/home/agent/workspace/report-2026-12.txt",
                            Bytes(256, 'x'), std::string("session=42")};

Bytes typical_signing_data() {
    return IntegrityProof::create(kTypicalAction, std::string(64, 'a'), 60).signing_data();
}

void BM_ActionHash(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(kTypicalAction.hash());
}
BENCHMARK(BM_ActionHash);

void BM_KeyStoreSign(benchmark::State& state) {
    const SoftwareKeyStore store = SoftwareKeyStore::generate();
    const Bytes data = typical_signing_data();
    for (auto _ : state) benchmark::DoNotOptimize(store.sign(data));
}
BENCHMARK(BM_KeyStoreSign);

void BM_KeyStoreVerify(benchmark::State& state) {
    const SoftwareKeyStore store = SoftwareKeyStore::generate();
    const Bytes data = typical_signing_data();
    const Bytes signature = *store.sign(data);
    for (auto _ : state) benchmark::DoNotOptimize(store.verify(data, signature));
}
BENCHMARK(BM_KeyStoreVerify);

void BM_SealedCharterVerifyAction(benchmark::State& state) {
    auto charter = SealedCharter::create({"Do no harm", "Respect privacy"});
    (void)charter->seal();
    const Action action{ActionKind::Delete, "user_data.txt", std::nullopt, std::nullopt};
    for (auto _ : state) benchmark::DoNotOptimize(charter->verify_action(action));
}
BENCHMARK(BM_SealedCharterVerifyAction);

// The reference: a libsodium key pair used directly, over the same signing data.
struct RawKeyPair {
    unsigned char public_key[crypto_sign_PUBLICKEYBYTES];
    unsigned char secret_key[crypto_sign_SECRETKEYBYTES];
    RawKeyPair() { crypto_sign_keypair(public_key, secret_key); }
};

// libsodium's own deterministic sign followed by a verify, as sign-then-check costs in the key store.
void BM_RawSodiumSignAndVerify(benchmark::State& state) {
    const RawKeyPair keys;
    const Bytes data = typical_signing_data();
    unsigned char signature[crypto_sign_BYTES];
    for (auto _ : state) {
        crypto_sign_detached(signature, nullptr, data.data(), data.size(), keys.secret_key);
        benchmark::DoNotOptimize(crypto_sign_verify_detached(signature, data.data(), data.size(), keys.public_key));
    }
}
BENCHMARK(BM_RawSodiumSignAndVerify);

void BM_RawSodiumVerify(benchmark::State& state) {
    const RawKeyPair keys;
    const Bytes data = typical_signing_data();
    unsigned char signature[crypto_sign_BYTES];
    crypto_sign_detached(signature, nullptr, data.data(), data.size(), keys.secret_key);
    for (auto _ : state) {
        benchmark::DoNotOptimize(crypto_sign_verify_detached(signature, data.data(), data.size(), keys.public_key));
    }
}
BENCHMARK(BM_RawSodiumVerify);

}  // namespace
}  // namespace corvel

int main(int argc, char** argv) {
    corvel::initialize_crypto();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

// The watchdog's approve path (no signing, no allocation) and its deny path (one signature).
#include <benchmark/benchmark.h>

#include <cstdlib>

#include "crypto/initialize.hpp"
#include "allocation_counter.hpp"
#include "watchdog/watchdog.hpp"

namespace corvel {
namespace {

Watchdog two_rule_watchdog() {
    auto watchdog = Watchdog::create({"Do no harm", "Respect privacy"}, std::string(64, 'a'));
    if (!watchdog) std::abort();
    return std::move(*watchdog);
}

void approve(benchmark::State& state, ActionKind kind) {
    const Watchdog watchdog = two_rule_watchdog();
    const Action action{ActionType(kind), "/home/agent/workspace/report-2026-12.txt", {}, {}};  // 40 bytes
    if (action.target.size() != 40) std::abort();
    const std::size_t before = tools::allocation_count();
    for (auto _ : state) {
        auto result = watchdog.verify_action(action);
        benchmark::DoNotOptimize(result);
        if (!result || *result) state.SkipWithError("the action was not approved");
    }
    const std::size_t allocations = tools::allocation_count() - before;
    state.counters["allocations"] = static_cast<double>(allocations);
    if (allocations != 0) state.SkipWithError("the approve path allocated");
}
void BM_WatchdogApproveDelete(benchmark::State& state) { approve(state, ActionKind::Delete); }
void BM_WatchdogApproveExecute(benchmark::State& state) { approve(state, ActionKind::Execute); }
void BM_WatchdogApproveWrite(benchmark::State& state) { approve(state, ActionKind::Write); }
BENCHMARK(BM_WatchdogApproveDelete);
BENCHMARK(BM_WatchdogApproveExecute);
BENCHMARK(BM_WatchdogApproveWrite);

void BM_WatchdogDeny(benchmark::State& state) {
    const Watchdog watchdog = two_rule_watchdog();
    const Action action{ActionType(ActionKind::Delete), "/etc/passwd", {}, {}};
    for (auto _ : state) {
        auto result = watchdog.verify_action(action);
        benchmark::DoNotOptimize(result);
        if (!result || !*result) state.SkipWithError("the action was not denied");
        watchdog.report_success();  // stay below the limit
    }
}
BENCHMARK(BM_WatchdogDeny);

void BM_WatchdogHardResetSignal(benchmark::State& state) {
    const Watchdog watchdog = two_rule_watchdog();
    const Action action{ActionType(ActionKind::Delete), "/etc/passwd", {}, {}};
    const DenialProof final_denial =
        DenialProof::create(action, "Multiple violations", "10 consecutive violations reached", 10);
    for (auto _ : state) benchmark::DoNotOptimize(watchdog.generate_hard_reset_signal(final_denial));
}
BENCHMARK(BM_WatchdogHardResetSignal);

}  // namespace
}  // namespace corvel

int main(int argc, char** argv) {
    corvel::initialize_crypto();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

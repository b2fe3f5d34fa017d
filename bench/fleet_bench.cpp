// vantry against a fleet: `vantry status` against three gateways at once,
// against the same command run against each gateway alone, one after the
// other, in the same run. Every request costs a gateway at least its second
// of pause, so a fleet run that asks the hosts at once takes about as long
// as its slowest host (ratio to the slowest near 1) and not the sum of them
// (ratio to the sum near 1/3).
#include "service/PellionHarness.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <string>

namespace {

double Seconds(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double Timed(const std::string& arguments, int* exitStatus) {
    auto start = std::chrono::steady_clock::now();
    *exitStatus = vtest::RunCommand(std::string(VANTRY_TOOL) + " " + arguments).exitStatus;
    return Seconds(start);
}

void BM_FleetStatus(benchmark::State& state) {
    std::unique_ptr<vtest::Pellion> gateways[3];
    std::string hosts;
    for (auto& g : gateways) {
        g.reset(new vtest::Pellion());
        if (!g->InstallAndStart()) {
            state.SkipWithError("a gateway did not start");
            return;
        }
        hosts += " --host 127.0.0.1:" + std::to_string(g->port());
    }
    for (auto _ : state) {
        int exitStatus = 0;
        double slowest = 0;
        double sum = 0;
        for (auto& g : gateways) {
            double one = Timed("--host 127.0.0.1:" + std::to_string(g->port()) + " status",
                               &exitStatus);
            slowest = one > slowest ? one : slowest;
            sum += one;
        }
        double fleet = Timed(hosts + " status", &exitStatus);
        if (exitStatus != 0)
            state.SkipWithError("the fleet run failed");
        state.counters["fleet_s"] = fleet;
        state.counters["slowest_s"] = slowest;
        state.counters["sum_s"] = sum;
        state.counters["fleet_to_slowest"] = fleet / slowest;
        state.counters["fleet_to_sum"] = fleet / sum;
    }
    // Stopped newest first, each in its own root.
    for (int i = 2; i >= 0; --i)
        gateways[i].reset();
}
BENCHMARK(BM_FleetStatus)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();

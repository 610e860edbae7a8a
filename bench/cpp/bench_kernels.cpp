// The batch kernels of LegendreBasis on their own, without the Python layer: ns per time of
// a whole batch. Times are uniform in [0, T]; a few arrays are cycled between iterations so
// that no branch history carries over from one pass to the next.
#include <benchmark/benchmark.h>
#include <sched.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "piecewise_polynomials.hpp"

namespace {

constexpr std::uint64_t kIntervals = 1000;
constexpr double kEnd = 2.0;
constexpr std::size_t kTimeArrays = 3;

const std::vector<std::vector<double>>& time_arrays(std::size_t n) {
    static std::map<std::size_t, std::vector<std::vector<double>>> cache;
    auto& arrays = cache[n];
    if (arrays.empty()) {
        std::mt19937_64 rng(n);
        std::uniform_real_distribution<double> uniform(0.0, kEnd);
        arrays.assign(kTimeArrays, std::vector<double>(n));
        for (auto& times : arrays)
            std::generate(times.begin(), times.end(), [&] { return uniform(rng); });
    }
    return arrays;
}

tavo::CoefficientMatrix random_coefficients(std::uint64_t degree) {
    std::mt19937_64 rng(degree);
    std::uniform_real_distribution<double> uniform(-1.0, 1.0);
    std::vector<double> values(kIntervals * (degree + 1));
    std::generate(values.begin(), values.end(), [&] { return uniform(rng); });
    return tavo::CoefficientMatrix(values, kIntervals, degree + 1);
}

// The evaluation of a whole batch, from the moment its times are written until every chunk
// is done: the computation alone, on the pool the environment sizes (RAYON_NUM_THREADS:
// run.sh runs this with one thread and with two). The workers are offered the batch and the
// times copied in outside the timed part, as the module does before the computation starts;
// the values stay where the pipeline leaves them.
template <tavo::BatchQuantity quantity>
void batch(benchmark::State& state) {
    const auto degree = static_cast<std::uint64_t>(state.range(0));
    const auto n = static_cast<std::size_t>(state.range(1));
    const tavo::LegendreBasis basis(degree, kIntervals, kEnd);
    const tavo::CoefficientMatrix coefficients = random_coefficients(degree);
    const auto& arrays = time_arrays(n);
    struct Timed final : tavo::BatchConsumer {
        benchmark::State* state = nullptr;
        const std::vector<double>* times = nullptr;
        void write_times(std::span<double> into) override {
            std::copy(times->begin(), times->end(), into.begin());
            state->ResumeTiming();
        }
        void take(std::span<const double> values) override {
            benchmark::DoNotOptimize(values.data());
        }
    } consumer;
    consumer.state = &state;
    std::size_t next = 0;
    for (auto _ : state) {
        state.PauseTiming();
        consumer.times = &arrays[next];
        next = (next + 1) % arrays.size();
        tavo::evaluate_batch(basis, coefficients, quantity, n, consumer);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(n));
    state.counters["ns_per_time"] = benchmark::Counter(
        static_cast<double>(n) * 1e-9,
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void register_kernel(const char* name, void (*function)(benchmark::State&)) {
    benchmark::RegisterBenchmark(name, function)
        ->ArgsProduct({{1, 3, 8, 16}, {100'000, 1'000'000}})
        ->ArgNames({"degree", "n"})
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    register_kernel("value/batch", batch<tavo::BatchQuantity::kValue>);
    register_kernel("derivative/batch", batch<tavo::BatchQuantity::kDerivative>);
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    if (sched_getaffinity(0, sizeof(cpus), &cpus) == 0) {
        benchmark::AddCustomContext("cpus_available", std::to_string(CPU_COUNT(&cpus)));
    }
    benchmark::AddCustomContext("n_t", std::to_string(kIntervals));
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

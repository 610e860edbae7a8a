// Batches from several threads at once: callers that create the worker pool together,
// callers that share one basis and coefficient matrix, failures thrown on several threads
// together, and a pool of a single worker serving several callers. The thread_sanitizer
// session (noxfile.py) runs these under ThreadSanitizer.

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <latch>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "internal_failure.hpp"
#include "piecewise_polynomials.hpp"

namespace {

using tavo::CoefficientMatrix;
using tavo::LegendreBasis;
using tavo::SERIAL_BATCH_LIMIT;

// One batch and its expected results, computed beforehand by the single-time kernels on
// the calling thread (they never touch the pool).
struct Job {
    LegendreBasis basis;
    CoefficientMatrix coefficients;
    std::vector<double> times;
    std::vector<double> values;
    std::vector<double> slopes;
};

Job make_job(std::uint64_t degree, std::uint64_t n_t, double T, std::size_t n, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> coefficient(-2.0, 2.0);
    std::vector<double> flat(n_t * (degree + 1));
    for (double& c : flat) c = coefficient(rng);
    Job job{LegendreBasis(degree, n_t, T), CoefficientMatrix(flat, n_t, degree + 1), {}, {}, {}};

    // Inside and outside [0, T], mesh points and non-finite times.
    std::uniform_real_distribution<double> time(-0.1 * T, 1.1 * T);
    const double h = T / static_cast<double>(n_t);
    const double special[] = {0.0,
                              T,
                              h,
                              -0.0,
                              std::numeric_limits<double>::quiet_NaN(),
                              std::numeric_limits<double>::infinity()};
    job.times.resize(n);
    for (std::size_t j = 0; j < n; ++j) {
        job.times[j] = j % 97 == 0 ? special[(j / 97) % 6] : time(rng);
    }
    for (double t : job.times) {
        job.values.push_back(job.basis.evaluate(job.coefficients, t));
        job.slopes.push_back(job.basis.evaluate_derivative(job.coefficients, t));
    }
    return job;
}

bool same_bits(const std::vector<double>& actual, const std::vector<double>& expected) {
    if (actual.size() != expected.size()) return false;
    return actual.empty() ||
           std::memcmp(actual.data(), expected.data(), actual.size() * sizeof(double)) == 0;
}

// Meshes and batch sizes on both sides of the serial limit.
std::vector<Job> mixed_jobs() {
    std::vector<Job> jobs;
    jobs.push_back(make_job(0, 1, 1.0, SERIAL_BATCH_LIMIT, 1));
    jobs.push_back(make_job(1, 3, 2.0, SERIAL_BATCH_LIMIT - 1, 2));
    jobs.push_back(make_job(3, 17, 0.5, 5000, 3));
    jobs.push_back(make_job(7, 40, 10.0, 20000, 4));
    jobs.push_back(make_job(12, 5, 1.0, 3 * SERIAL_BATCH_LIMIT + 1, 5));
    jobs.push_back(make_job(2, 1000, 3.0, 9000, 6));
    return jobs;
}

// Thread i runs jobs[assignment[i]]; all start at once and repeat their batches `rounds`
// times. Returns the number of batches whose result differed from the single-time kernels.
int run_together(const std::vector<Job>& jobs, const std::vector<std::size_t>& assignment,
                 int rounds) {
    std::latch start(static_cast<std::ptrdiff_t>(assignment.size()));
    std::vector<int> mismatches(assignment.size(), 0);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < assignment.size(); ++i) {
        threads.emplace_back([&, i] {
            const Job& job = jobs[assignment[i]];
            start.arrive_and_wait();
            for (int round = 0; round < rounds; ++round) {
                if (!same_bits(job.basis.evaluate_many(job.coefficients, job.times), job.values)) {
                    ++mismatches[i];
                }
                if (!same_bits(job.basis.evaluate_derivative_many(job.coefficients, job.times),
                               job.slopes)) {
                    ++mismatches[i];
                }
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    int total = 0;
    for (int m : mismatches) total += m;
    return total;
}

// ctest runs every test in a process of its own, so these threads are the pool's first
// users and race to create it.
TEST(ConcurrentBatches, FirstUsersCreateThePoolTogether) {
    const std::vector<Job> jobs = mixed_jobs();
    EXPECT_EQ(run_together(jobs, {0, 1, 2, 3, 4, 5, 3, 4}, 3), 0);
}

TEST(ConcurrentBatches, ShareOneBasisAndCoefficientMatrix) {
    const std::vector<Job> jobs = mixed_jobs();
    // Three threads on job 3 and two on job 4 read the same storage at once.
    EXPECT_EQ(run_together(jobs, {3, 3, 3, 4, 4, 0}, 4), 0);
}

TEST(ConcurrentBatches, FailuresOnSeveralThreadsAtOnce) {
    const std::vector<Job> jobs = mixed_jobs();
    const LegendreBasis empty_mesh(2, 0, 1.0);
    const CoefficientMatrix no_rows(0, 3);
    const CoefficientMatrix wrong_shape(4, 2);
    const LegendreBasis mesh(2, 4, 1.0);
    const std::vector<double> times = jobs[3].times;

    constexpr int kThreads = 6;
    constexpr int kRounds = 20;
    std::latch start(kThreads);
    std::vector<std::vector<std::string>> messages(kThreads);
    std::vector<int> mismatches(kThreads, 0);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            start.arrive_and_wait();
            for (int round = 0; round < kRounds; ++round) {
                if (i % 3 == 2) {
                    // Good batches on the pool in between the failures.
                    if (!same_bits(jobs[3].basis.evaluate_many(jobs[3].coefficients, times),
                                   jobs[3].values)) {
                        ++mismatches[i];
                    }
                    continue;
                }
                try {
                    if (i % 3 == 0) {
                        empty_mesh.evaluate_derivative_many(no_rows, times);
                    } else {
                        mesh.evaluate_many(wrong_shape, times);
                    }
                    messages[i].push_back("no failure");
                } catch (const tavo::InternalFailure& failure) {
                    messages[i].push_back(failure.message());
                }
            }
        });
    }
    for (std::thread& thread : threads) thread.join();

    const std::string no_intervals =
        "LegendreBasis: cannot evaluate on a mesh of zero intervals (n_t = 0)";
    const std::string columns =
        "assertion `left == right` failed: LegendreBasis: coefficient columns must equal "
        "degree + 1\n  left: 2\n right: 3";
    for (int i = 0; i < kThreads; ++i) {
        EXPECT_EQ(mismatches[i], 0) << "thread " << i;
        if (i % 3 == 2) continue;
        ASSERT_EQ(messages[i].size(), static_cast<std::size_t>(kRounds)) << "thread " << i;
        for (const std::string& message : messages[i]) {
            EXPECT_EQ(message, i % 3 == 0 ? no_intervals : columns) << "thread " << i;
        }
    }
}

// With one worker the calling threads queue up for the pool instead of sharing it; none may
// wait forever. The pool takes its size from the environment once, at creation, so this runs
// in a forked child that has no pool yet: GoogleTest runs *DeathTest suites before all others,
// so no test of this process has made one before the fork. The "threadsafe" style would
// re-execute the binary instead, which fails where it only runs under an emulator (qemu-user
// without binfmt_misc).
TEST(ConcurrentBatchesDeathTest, SingleWorkerPoolServesSeveralCallers) {
    GTEST_FLAG_SET(death_test_style, "fast");
    EXPECT_EXIT(
        {
            setenv("RAYON_NUM_THREADS", "1", 1);
            const std::vector<Job> jobs = mixed_jobs();
            std::exit(run_together(jobs, {2, 3, 4, 5, 3}, 2) == 0 ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

}  // namespace

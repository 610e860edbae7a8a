/// @brief Calls that can run long: `run_long` runs the core's work on a thread of its own
/// while the caller waits with the interpreter lock released and handles pending signals.
#pragma once

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <stop_token>
#include <type_traits>
#include <utility>

#include "lock.hpp"

namespace tavo::host {

// The product of the factors, or the largest value where it overflows: a measure of work.
inline std::uint64_t work_steps(std::initializer_list<std::uint64_t> factors) {
    std::uint64_t product = 1;
    for (const std::uint64_t factor : factors) {
        if (__builtin_mul_overflow(product, factor, &product)) return UINT64_MAX;
    }
    return product;
}

namespace detail {

// What the caller and the computing thread share; whichever is left last frees it.
template <class Result>
struct ApartWork {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    std::optional<Result> result;
    std::exception_ptr failure;
    std::stop_source stop;

    // Whether the work was done within `timeout`; the lock must be released.
    bool wait_for(std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex);
        return finished.wait_for(lock, timeout, [&] { return done; });
    }
};

// A thread with a stack of its own size: std::thread takes the C library's default, which
// is 128 KiB on musl, less than the factorisation's blocked kernels may put on the stack.
class ApartThread {
public:
    static constexpr std::size_t kStackBytes = std::size_t{8} * 1024 * 1024;

    // Starts body() on the new thread; false (nothing started) when the system refuses.
    template <class Body>
    bool start(Body body) {
        auto owned = std::make_unique<Body>(std::move(body));
        pthread_attr_t attributes;
        if (pthread_attr_init(&attributes) != 0) return false;
        pthread_attr_setstacksize(&attributes, kStackBytes);
        const auto run = [](void* argument) -> void* {
            const std::unique_ptr<Body> held(static_cast<Body*>(argument));
            (*held)();
            return nullptr;
        };
        started_ = pthread_create(&thread_, &attributes, +run, owned.get()) == 0;
        pthread_attr_destroy(&attributes);
        if (started_) owned.release();  // the thread owns it now
        return started_;
    }
    bool joinable() const { return started_; }
    void join() {
        pthread_join(thread_, nullptr);
        started_ = false;
    }
    void detach() {
        pthread_detach(thread_);
        started_ = false;
    }

private:
    pthread_t thread_{};
    bool started_ = false;
};

// Leaves the thread on every way out, the unwinding of a thread the interpreter ends
// included: joined when its work is done, else asked to stop and detached.
template <class Result>
struct LeaveThread {
    ApartThread& thread;
    ApartWork<Result>& work;
    ~LeaveThread() {
        if (!thread.joinable()) return;
        bool done = false;
        {
            const std::lock_guard lock(work.mutex);
            done = work.done;
        }
        if (done) {
            thread.join();
        } else {
            work.stop.request_stop();
            thread.detach();
        }
    }
};

}  // namespace detail

// Below this many steps (a few milliseconds) the work runs at once on the calling thread.
inline constexpr std::uint64_t kStepsApart = std::uint64_t{1} << 20;

// compute(stop_token) on a thread of its own when `steps` says it may be long; the caller
// waits with the lock released (other threads run) and handles pending signals every few
// tens of milliseconds. On a pending error (Ctrl-C) the work is asked to stop and the call
// ends with that error at once. The core's loops stop within a millisecond; a factorisation,
// which cannot stop inside, finishes on its own thread first, which then frees all it holds
// (the work captures values only). A process that cannot get a thread computes here.
template <class Compute>
auto run_long(std::uint64_t steps, const Compute& compute)
    -> std::invoke_result_t<const Compute&, std::stop_token> {
    using Result = std::invoke_result_t<const Compute&, std::stop_token>;
    if (steps < kStepsApart) return compute(std::stop_token{});
    auto work = std::make_shared<detail::ApartWork<Result>>();
    detail::ApartThread thread;
    const auto body = [work, compute] {
        std::optional<Result> result;
        std::exception_ptr failure;
        try {
            result.emplace(compute(work->stop.get_token()));
        } catch (const std::exception&) {
            failure = std::current_exception();
        }
        const std::lock_guard lock(work->mutex);
        work->result = std::move(result);
        work->failure = failure;
        work->done = true;
        work->finished.notify_all();
    };
    bool started = false;
    try {
        started = thread.start(body);
    } catch (const std::bad_alloc&) {
        started = false;
    }
    if (!started) return compute(std::stop_token{});
    const detail::LeaveThread<Result> leave{thread, *work};
    constexpr std::chrono::milliseconds kSignalsEvery{20};
    bool done = false;
    while (!done) {
        without_lock([&] { done = work->wait_for(kSignalsEvery); });
        if (!done && PyErr_CheckSignals() < 0) {
            work->stop.request_stop();
            throw PythonError{};
        }
    }
    thread.join();
    if (work->failure) std::rethrow_exception(work->failure);
    return std::move(*work->result);
}

}  // namespace tavo::host

#include "worker_pool.hpp"

#include <pthread.h>
#include <sched.h>
#include <tbb/global_control.h>
#include <tbb/info.h>
#include <tbb/task_arena.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <exception>
#include <limits>
#include <new>
#include <string_view>
#include <thread>
#include <vector>

namespace tavo {

namespace {

std::size_t positive_env(const char* name) {
    const char* text = std::getenv(name);
    if (text == nullptr) return 0;
    std::string_view s(text);
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    std::size_t value = 0;
    const auto [end, error] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (error != std::errc{} || end != s.data() + s.size()) return 0;
    return value;
}

// The kernels need a few kilobytes of stack, the scheduler a few more: a default of
// megabytes per thread only spends address space, which a limited process runs out of.
// The sanitizers' instrumentation needs much larger frames.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr std::size_t kWorkerStackBytes = std::size_t{4} * 1024 * 1024;
#else
constexpr std::size_t kWorkerStackBytes = std::size_t{256} * 1024;
#endif

// How many threads with the workers' stack this process can start, up to `wanted`: all of
// them exist at once, as the workers will. A refusal (address space, thread limits) is
// an answer here, where it would end the process inside the scheduler.
std::size_t startable_threads(std::size_t wanted) {
    struct Gate {
        std::atomic<bool> open{false};
    } gate;
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) return 0;
    pthread_attr_setstacksize(&attributes, kWorkerStackBytes);
    std::vector<pthread_t> started;
    try {
        started.reserve(wanted);
    } catch (const std::bad_alloc&) {
        pthread_attr_destroy(&attributes);
        return 0;
    }
    const auto wait_at_gate = [](void* arg) -> void* {
        auto* g = static_cast<Gate*>(arg);
        while (!g->open.load(std::memory_order_acquire)) g->open.wait(false);
        return nullptr;
    };
    while (started.size() < wanted) {
        pthread_t thread;
        if (pthread_create(&thread, &attributes, +wait_at_gate, &gate) != 0) break;
        started.push_back(thread);
    }
    pthread_attr_destroy(&attributes);
    gate.open.store(true, std::memory_order_release);
    gate.open.notify_all();
    for (pthread_t thread : started) pthread_join(thread, nullptr);
    return started.size();
}

// A child process made by fork has only the thread that forked: the pool's workers, and
// whatever they held, stayed in the parent. So once this process has begun to make its
// pool, the batches of its forked children run on their calling threads. (A process that
// never made one leaves its children free to make their own.)
std::atomic<bool> pool_begun{false};
std::atomic<bool> pool_inherited{false};
[[maybe_unused]] const int atfork_registered = pthread_atfork(nullptr, nullptr, [] {
    if (pool_begun.load(std::memory_order_relaxed))
        pool_inherited.store(true, std::memory_order_relaxed);
});

class WorkerPool {
public:
    // The pool of this process, created at first need; nullptr when batches run on the
    // calling thread alone.
    static WorkerPool* get() {
        // Checked before the static: a fork while another thread was creating the pool
        // leaves its initialisation guard taken for good in the child.
        if (pool_inherited.load(std::memory_order_relaxed)) return nullptr;
        static WorkerPool* const pool = create();
        return pool;
    }

    std::size_t workers() const { return workers_; }

    // False when the pool could not take the task (the system refused memory or a
    // thread): the calling thread then does the work itself.
    bool submit(std::function<void()> task) noexcept {
        try {
            arena_.enqueue(std::move(task));
            return true;
        } catch (...) {
            // Everything, safely: only core code runs here, which never calls into an
            // interpreter, so no unwind of a thread that the interpreter ends passes through
            // (a worker of the pool is never ended by the interpreter); the scheduler's
            // refusals need not derive from std::exception.
            return false;
        }
    }

private:
    WorkerPool(std::unique_ptr<tbb::global_control> stack_size, std::size_t workers)
        : stack_size_(std::move(stack_size)),
          // Without this the scheduler caps its workers at the hardware concurrency.
          parallelism_(workers + 1 > static_cast<std::size_t>(tbb::info::default_concurrency())
                           ? std::make_unique<tbb::global_control>(
                                 tbb::global_control::max_allowed_parallelism, workers + 1)
                           : nullptr),
          // Every slot is a worker's: the calling thread of a batch works outside the arena.
          arena_(static_cast<int>(workers), 0),
          workers_(workers) {
        arena_.initialize();
    }

    // The pool lives as long as the process: its workers may outlive the interpreter's
    // finalisation, so it is never torn down.
    static WorkerPool* create() noexcept {
        pool_begun.store(true, std::memory_order_relaxed);
        try {
            const std::size_t wanted = configured_pool_size() - 1;
            if (wanted == 0) return nullptr;
            auto stack_size = std::make_unique<tbb::global_control>(
                tbb::global_control::thread_stack_size, kWorkerStackBytes);
            const std::size_t workers = startable_threads(wanted);
            if (workers == 0) return nullptr;
            auto* pool = new WorkerPool(std::move(stack_size), workers);
            pool->start_all_workers();
            return pool;
        } catch (...) {
            // Everything, as in submit(): no interpreter call, so no thread-ending unwind.
            return nullptr;
        }
    }

    // The scheduler starts workers on demand, most of them from other workers, where a
    // refused thread ends the process. So all of them start now, right after the check
    // that they can: each waits until all have arrived (or a short while has passed).
    void start_all_workers() {
        struct Arrivals {
            std::atomic<std::size_t> count{0};
            std::atomic<std::size_t> finished{0};
        };
        auto arrivals = std::make_shared<Arrivals>();
        const std::size_t n = workers_;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
        std::size_t submitted = 0;
        for (; submitted < n; ++submitted) {
            const bool taken = submit([arrivals, n, deadline] {
                arrivals->count.fetch_add(1);
                while (arrivals->count.load() < n && std::chrono::steady_clock::now() < deadline)
                    std::this_thread::sleep_for(std::chrono::microseconds(50));
                arrivals->finished.fetch_add(1);
            });
            if (!taken) break;
        }
        while (arrivals->finished.load() < submitted && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::microseconds(50));
    }

    std::unique_ptr<tbb::global_control> stack_size_;
    std::unique_ptr<tbb::global_control> parallelism_;
    tbb::task_arena arena_;
    std::size_t workers_;
};

}  // namespace

std::size_t configured_pool_size() {
    // A thread count beyond this is a typo, not a machine; each worker costs a stack.
    constexpr std::size_t kMaxThreads = 1024;
    std::size_t n = positive_env("RAYON_NUM_THREADS");
    if (n == 0) n = positive_env("RAYON_RS_NUM_CPUS");
    if (n == 0) {
        cpu_set_t set;
        CPU_ZERO(&set);
        if (sched_getaffinity(0, sizeof(set), &set) == 0)
            n = static_cast<std::size_t>(CPU_COUNT(&set));
    }
    if (n == 0) n = static_cast<std::size_t>(tbb::info::default_concurrency());
    return std::clamp<std::size_t>(n, 1, kMaxThreads);
}

// ---------------------------------------------------------------------------------------
// Chunked work

namespace {

// A hint to the processor that this thread spins.
inline void pause() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

}  // namespace

struct ChunkedWork::State {
    State(std::size_t n, std::size_t chunk_size, ChunkFunction f)
        : items(n),
          chunk(std::max<std::size_t>(chunk_size, 1)),
          chunks((n + chunk - 1) / chunk),
          function(std::move(f)),
          done(std::make_unique<std::atomic<bool>[]>(chunks)) {}

    // Returns once the work is open (or stopped). Workers get here before the caller has
    // prepared the items: the wait is short, and spent awake.
    void wait_until_open() {
        for (int spin = 0; spin < 1 << 14 && !opened.load(std::memory_order_acquire); ++spin)
            pause();
        while (!opened.load(std::memory_order_acquire)) opened.wait(false);
    }

    void open() {
        opened.store(true, std::memory_order_release);
        opened.notify_all();
    }

    // Claims the next chunk and does it; false when none is left or the work was stopped.
    bool do_next_chunk() {
        // Announced before the check, so that stop() either sees this thread at work or
        // this thread sees the stop (both are sequentially consistent).
        in_progress.fetch_add(1);
        bool did = false;
        if (!stopped.load()) {
            const std::size_t c = next.fetch_add(1);
            if (c < chunks) {
                run(c);
                did = true;
            }
        }
        if (in_progress.fetch_sub(1) == 1) in_progress.notify_all();
        return did;
    }

    void run(std::size_t c) {
        try {
            function(c * chunk, std::min(items, (c + 1) * chunk));
        } catch (...) {
            // Everything: an exception that left a worker's task would end the process inside
            // the scheduler, so whatever the chunk throws travels to the draining thread.
            // The chunk function is core code that never calls into an interpreter, so no
            // unwind of a thread the interpreter ends is caught here, and oneTBB cancels
            // tasks by not starting them, never by unwinding through them.
            if (!failure_claimed.exchange(true)) {
                failure = std::current_exception();
                failed.store(true, std::memory_order_release);
            }
            stopped.store(true);
        }
        done[c].store(true, std::memory_order_release);
        finished.fetch_add(1, std::memory_order_release);
        finished.notify_all();
    }

    void stop() {
        stopped.store(true);
        open();  // a worker still waiting to begin sees the stop
        for (std::size_t busy = in_progress.load(); busy != 0; busy = in_progress.load())
            in_progress.wait(busy);
    }

    const std::size_t items;
    const std::size_t chunk;
    const std::size_t chunks;
    const ChunkFunction function;
    std::unique_ptr<std::atomic<bool>[]> done;
    std::atomic<std::size_t> next{0};
    std::atomic<std::size_t> in_progress{0};
    std::atomic<std::uint32_t> finished{0};
    std::atomic<bool> opened{false};
    std::atomic<bool> stopped{false};
    std::atomic<bool> failure_claimed{false};
    std::exception_ptr failure;  // written once, before `failed` is set
    std::atomic<bool> failed{false};
};

ChunkedWork::ChunkedWork(std::size_t n, std::size_t chunk_size, ChunkFunction function)
    : state_(std::make_shared<State>(n, chunk_size, std::move(function))) {}

ChunkedWork::~ChunkedWork() { state_->stop(); }

void ChunkedWork::share_with_workers(std::size_t max_workers) {
    WorkerPool* pool = WorkerPool::get();
    if (pool == nullptr || state_->chunks < 2) return;
    // The calling thread takes part, so one chunk fewer than there are is enough.
    const std::size_t helpers = std::min({max_workers, pool->workers(), state_->chunks - 1});
    for (std::size_t i = 0; i < helpers; ++i) {
        // A worker holds the state, not the caller's frame: a task that starts after the
        // caller has returned finds nothing left to do and lets go of it.
        if (!pool->submit([state = state_] {
                state->wait_until_open();
                while (state->do_next_chunk()) {
                }
            }))
            break;
    }
}

void ChunkedWork::open() { state_->open(); }

std::size_t ChunkedWork::chunk_count() const { return state_->chunks; }

std::size_t ChunkedWork::chunk_begin(std::size_t chunk) const { return chunk * state_->chunk; }

std::size_t ChunkedWork::chunk_end(std::size_t chunk) const {
    return std::min(state_->items, (chunk + 1) * state_->chunk);
}

bool ChunkedWork::done(std::size_t chunk) const noexcept {
    return state_->done[chunk].load(std::memory_order_acquire);
}

void ChunkedWork::work_until_done(std::size_t chunk) {
    State& s = *state_;
    while (!done(chunk)) {
        // After a failure no chunk is handed out any more: this one may never be done.
        if (s.failed.load(std::memory_order_acquire)) std::rethrow_exception(s.failure);
        if (s.do_next_chunk()) continue;
        // Every chunk is claimed: wait for this one, spinning briefly first since a chunk
        // takes tens of microseconds.
        for (int spin = 0; spin < 4096 && !done(chunk); ++spin) pause();
        while (!done(chunk) && !s.failed.load(std::memory_order_acquire)) {
            const std::uint32_t seen = s.finished.load(std::memory_order_acquire);
            if (done(chunk)) break;
            s.finished.wait(seen, std::memory_order_acquire);
        }
    }
    if (s.failed.load(std::memory_order_acquire)) std::rethrow_exception(s.failure);
}

}  // namespace tavo

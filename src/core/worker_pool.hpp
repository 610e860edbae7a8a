// The process-wide pool of worker threads that batches share, and the chunked work that
// the workers and the calling thread do together.
//
// A batch is cut into chunks of consecutive items. Workers claim chunks in increasing order
// and so does the calling thread whenever the chunk it needs next is not done yet, so the
// work completes on whatever threads there are: with no worker at all (a forked child, a
// process that cannot get a thread) the calling thread does every chunk itself. Which
// thread does a chunk never changes its result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <span>

namespace tavo {

// Threads of the pool, the calling thread of a batch included: RAYON_NUM_THREADS, else
// RAYON_RS_NUM_CPUS, when either holds a positive decimal number; else the CPUs this
// process may run on. Read when the pool is created.
std::size_t configured_pool_size();

class ChunkedWork {
public:
    // Does chunk [begin, end); runs on any thread, never touches an interpreter object.
    using ChunkFunction = std::function<void(std::size_t begin, std::size_t end)>;

    // Items [0, n) in chunks of `chunk_size` (the last may be shorter). No chunk is done
    // before open().
    ChunkedWork(std::size_t n, std::size_t chunk_size, ChunkFunction function);
    // Stops handing out chunks and waits for the chunks in progress: once it returns, no
    // thread runs the chunk function any more.
    ~ChunkedWork();
    ChunkedWork(const ChunkedWork&) = delete;
    ChunkedWork& operator=(const ChunkedWork&) = delete;

    // Offers chunks to the pool's workers (at most `max_workers` of them). Without it, or
    // when the pool has no worker to give, the calling thread does every chunk. Called
    // before open(), it lets sleeping workers wake while the caller prepares the items.
    void share_with_workers(std::size_t max_workers = std::numeric_limits<std::size_t>::max());
    // The items are ready: chunks may be done from now on.
    void open();

    std::size_t chunk_count() const;
    std::size_t chunk_begin(std::size_t chunk) const;
    std::size_t chunk_end(std::size_t chunk) const;
    bool done(std::size_t chunk) const noexcept;

    // Returns once `chunk` is done. Meanwhile the calling thread does chunks nobody has
    // claimed yet, or waits for the one in progress elsewhere. Rethrows a failure of the
    // chunk function from any thread.
    void work_until_done(std::size_t chunk);

    struct State;

private:
    std::shared_ptr<State> state_;
};

}  // namespace tavo

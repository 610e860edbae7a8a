// The batch pipeline: one expansion evaluated at many times, in chunks, on the process-wide
// worker pool and the calling thread. The pipeline owns the order of the steps; what the
// caller does at each of them (where the times come from, where the values go, what it does
// while it waits) is a BatchConsumer. The module's consumer fills a float list with the
// interpreter lock released while it waits; LegendreBasis::evaluate_many's fills a vector.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "legendre_basis.hpp"

namespace tavo {

// Batches with fewer times are evaluated on the calling thread.
inline constexpr std::size_t SERIAL_BATCH_LIMIT = 2048;
// Batches up to this many times are evaluated at once, in memory on the calling thread's
// stack: their computation takes a few microseconds at most, less than handing chunks to
// threads, keeping storage and stepping aside would cost. The consumer's wait() is never
// called for them.
inline constexpr std::size_t SMALL_BATCH_LIMIT = 256;

enum class BatchQuantity : std::uint8_t { kValue, kDerivative };

class ChunkedWork;

// The wait for the next chunk: calling it returns once that chunk is done, meanwhile doing
// chunks nobody has claimed yet, or waiting for the one in progress elsewhere. Rethrows what
// a chunk threw on any thread.
class ChunkWait {
public:
    ChunkWait(ChunkedWork& work, std::size_t chunk) : work_(work), chunk_(chunk) {}
    void operator()() const;
    // Also gets the chunk `more` after this one done, if the batch has it (whether it has).
    // A consumer that waits with its thread's other work put aside can take several chunks
    // in one go afterwards.
    bool ahead(std::size_t more) const;

private:
    ChunkedWork& work_;
    std::size_t chunk_;
};

// What the caller of a batch does at each step of the pipeline. In order: write_times once;
// then for every chunk, wait() when the chunk is not done yet (or when wants_pause() says
// so), and take() of its values. An exception from any step ends the batch: no thread
// evaluates a chunk once evaluate_batch has left.
class BatchConsumer {
public:
    // Writes all the times; no chunk is evaluated before this returns.
    virtual void write_times(std::span<double> times) = 0;
    // Whether to call wait() before the next chunk although it is done.
    virtual bool wants_pause() { return false; }
    // Runs next() in whatever state the consumer waits in. A consumer may also return without
    // calling it: the pipeline then gets the chunk done on the calling thread as it is.
    virtual void wait(const ChunkWait& next) { next(); }
    // The next chunk's values (entry j of the batch is the single-time result at time j, bit
    // for bit), valid until the call returns.
    virtual void take(std::span<const double> values) = 0;

protected:
    ~BatchConsumer() = default;
};

// Evaluates `quantity` of the expansion at n times. Mesh and coefficients are checked as the
// single-time methods check them, before the times are written. The basis and the
// coefficients must stay unchanged until it returns. From SERIAL_BATCH_LIMIT times on, the
// chunks are offered to the worker pool before the times are written, so that its workers
// wake meanwhile.
void evaluate_batch(const LegendreBasis& basis, const CoefficientMatrix& coefficients,
                    BatchQuantity quantity, std::size_t n, BatchConsumer& consumer);

// evaluate_batch from a span of times into a vector.
std::vector<double> evaluate_batch_into_vector(const LegendreBasis& basis,
                                               const CoefficientMatrix& coefficients,
                                               BatchQuantity quantity,
                                               std::span<const double> times);

}  // namespace tavo

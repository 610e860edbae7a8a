/// @brief The module's side of the batch pipeline: the times from the caller's buffer, the
/// values into a float list, and the interpreter lock released while the pipeline waits.
#pragma once

#include <cstddef>
#include <span>

#include "batch_evaluation.hpp"
#include "conversions.hpp"
#include "lock.hpp"

namespace tavo::host {

// The times are copied with the lock held (other threads may write the caller's buffer once
// it is released). Chunks become floats with the lock held, in turns of a switch interval
// (LockSharing); within a turn a chunk not done yet is computed or awaited with the lock
// held, since giving it away costs up to a switch interval to get it back. Between turns the
// lock is released while the calling thread computes chunks ahead, enough for the next turn.
// Between chunks pending signals are handled: Ctrl-C ends a long batch with
// KeyboardInterrupt.
class FloatListConsumer final : public BatchConsumer {
public:
    explicit FloatListConsumer(const DoubleBuffer& times);
    ~FloatListConsumer();
    FloatListConsumer(const FloatListConsumer&) = delete;
    FloatListConsumer& operator=(const FloatListConsumer&) = delete;

    void write_times(std::span<double> times) override;
    bool wants_pause() override { return sharing_.due(); }
    void wait(const ChunkWait& next) override;
    void take(std::span<const double> values) override;

    // The list, once evaluate_batch has returned.
    Ref result() { return std::move(list_); }

private:
    const DoubleBuffer& times_;
    Ref list_;
    std::size_t filled_ = 0;
    std::size_t reach_ = 0;  // items that may hold a float: the chunk being made included
    LockSharing sharing_;
    // Times per piece of the copy of the times: 2 MiB.
    static constexpr std::size_t kPieceTimes = std::size_t{1} << 18;
    // Chunks computed ahead while the lock is away: a turn's floats at most.
    static constexpr std::size_t kChunksAhead = 64;
};

// evaluate_batch at the buffer's times, as a float list.
Ref float_list_batch_result(const LegendreBasis& basis, const CoefficientMatrix& coefficients,
                            BatchQuantity quantity, const DoubleBuffer& times);

}  // namespace tavo::host

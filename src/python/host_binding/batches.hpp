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
// it is released). Each chunk that is done becomes floats, with the lock held; the lock is
// released while the calling thread computes chunks or waits for the next one, and every
// few milliseconds to let other threads run. Between chunks pending signals are handled:
// Ctrl-C ends a long batch with KeyboardInterrupt.
class FloatListConsumer final : public BatchConsumer {
public:
    explicit FloatListConsumer(const DoubleBuffer& times);

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
    LockSharing sharing_;
};

// evaluate_batch at the buffer's times, as a float list.
Ref float_list_batch_result(const LegendreBasis& basis, const CoefficientMatrix& coefficients,
                            BatchQuantity quantity, const DoubleBuffer& times);

}  // namespace tavo::host

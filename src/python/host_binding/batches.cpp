#include "batches.hpp"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <utility>

#include "results.hpp"

namespace tavo::host {

FloatListConsumer::FloatListConsumer(const DoubleBuffer& times)
    : times_(times), list_(new_list(times.size())) {}

FloatListConsumer::~FloatListConsumer() {
    // A batch that ends early (Ctrl-C) tears down only the items it made.
    if (list_) forget_items_beyond(list_.get(), reach_);
}

void FloatListConsumer::write_times(std::span<double> times) {
    const double* items = times_.contiguous_items();
    if (times.size() < kPieceTimes || items == nullptr) {
        times_.copy_to(times);
        return;
    }
    // With the lock held throughout: nobody may write the caller's buffer before the copy is
    // complete. Storage new to the process is mapped in as the copy first writes it, which
    // makes a copy of 1e8 times take seconds: signals are handled between pieces.
    for (std::size_t at = 0; at < times.size(); at += kPieceTimes) {
        const std::size_t count = std::min(kPieceTimes, times.size() - at);
        std::memcpy(times.data() + at, items + at, count * sizeof(double));
        require_status(PyErr_CheckSignals());
    }
}

void FloatListConsumer::wait(const ChunkWait& next) {
    // Within the turn: the pipeline gets the chunk done with the lock held.
    if (!sharing_.due()) return;
    without_lock([&] {
        LockSharing::let_others_take();
        next();
        const auto until = std::chrono::steady_clock::now() + LockSharing::kTurn;
        for (std::size_t more = 1; more <= kChunksAhead && std::chrono::steady_clock::now() < until;
             ++more) {
            if (!next.ahead(more)) break;
        }
    });
    sharing_.start_turn();
}

void FloatListConsumer::take(std::span<const double> values) {
    require_status(PyErr_CheckSignals());
    reach_ = filled_ + values.size();
    fill_floats(list_.get(), filled_, values);
    filled_ = reach_;
}

Ref float_list_batch_result(const LegendreBasis& basis, const CoefficientMatrix& coefficients,
                            BatchQuantity quantity, const DoubleBuffer& times) {
    FloatListConsumer consumer(times);
    evaluate_batch(basis, coefficients, quantity, times.size(), consumer);
    return consumer.result();
}

}  // namespace tavo::host

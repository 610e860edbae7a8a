#include "batches.hpp"

#include <utility>

#include "results.hpp"

namespace tavo::host {

FloatListConsumer::FloatListConsumer(const DoubleBuffer& times)
    : times_(times), list_(new_list(times.size())) {}

void FloatListConsumer::write_times(std::span<double> times) { times_.copy_to(times); }

void FloatListConsumer::wait(const ChunkWait& next) {
    const bool give_way = sharing_.due();
    without_lock([&] {
        if (give_way) sharing_.give_way();
        next();
    });
}

void FloatListConsumer::take(std::span<const double> values) {
    require_status(PyErr_CheckSignals());
    fill_floats(list_.get(), filled_, values);
    filled_ += values.size();
}

Ref float_list_batch_result(const LegendreBasis& basis, const CoefficientMatrix& coefficients,
                            BatchQuantity quantity, const DoubleBuffer& times) {
    FloatListConsumer consumer(times);
    evaluate_batch(basis, coefficients, quantity, times.size(), consumer);
    return consumer.result();
}

}  // namespace tavo::host

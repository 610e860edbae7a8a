#include "batch_evaluation.hpp"

#include <algorithm>
#include <array>

#include "batch_storage.hpp"
#include "internal_failure.hpp"
#include "worker_pool.hpp"

namespace tavo {

namespace {

// Times per chunk of a batch: enough that handing out a chunk costs little against its
// evaluation, few enough that the threads share out the batch evenly and the first values
// are ready soon. A multiple of the kernels' lane count.
constexpr std::size_t kChunkTimes = 4096;

// Overwrites each time of [items, items + n) with the quantity there: the one loop that every
// chunk runs, whichever thread runs it.
void evaluate_in_place(const ExpansionView& view, BatchQuantity quantity, double* items,
                       std::size_t n) {
    if (quantity == BatchQuantity::kValue) {
        kernels::values_at(view, items, items, n);
    } else {
        kernels::slopes_at(view, items, items, n);
    }
}

// The times in storage kept between batches, each chunk of them overwritten with its values
// by the pool's workers or by the draining thread.
class BatchEvaluation {
public:
    BatchEvaluation(const ExpansionView& view, BatchQuantity quantity, std::size_t n)
        : storage_(n),
          work_(n, kChunkTimes,
                [view, items = storage_.items().data(), quantity](std::size_t begin,
                                                                  std::size_t end) {
                    evaluate_in_place(view, quantity, items + begin, end - begin);
                }) {
        if (n >= SERIAL_BATCH_LIMIT) work_.share_with_workers();
    }

    std::span<double> times() const { return storage_.items(); }
    void start() { work_.open(); }
    ChunkedWork& work() { return work_; }
    std::span<const double> values(std::size_t chunk) const {
        return storage_.items().subspan(work_.chunk_begin(chunk),
                                        work_.chunk_end(chunk) - work_.chunk_begin(chunk));
    }

private:
    BatchStorage storage_;
    // After the storage: destroyed first, so no worker writes to storage given back.
    ChunkedWork work_;
};

}  // namespace

void ChunkWait::operator()() const { work_.work_until_done(chunk_); }

bool ChunkWait::ahead(std::size_t more) const {
    if (more >= work_.chunk_count() - chunk_) return false;
    work_.work_until_done(chunk_ + more);
    return true;
}

void evaluate_batch(const LegendreBasis& basis, const CoefficientMatrix& coefficients,
                    BatchQuantity quantity, std::size_t n, BatchConsumer& consumer) {
    const ExpansionView view = basis.view(coefficients);
    if (n <= SMALL_BATCH_LIMIT) {
        std::array<double, SMALL_BATCH_LIMIT> items;  // written by write_times before any read
        const std::span<double> times(items.data(), n);
        consumer.write_times(times);
        evaluate_in_place(view, quantity, times.data(), n);
        consumer.take(times);
        return;
    }
    BatchEvaluation batch(view, quantity, array_length<double>(n));
    consumer.write_times(batch.times());
    batch.start();
    ChunkedWork& work = batch.work();
    for (std::size_t chunk = 0; chunk < work.chunk_count(); ++chunk) {
        if (!work.done(chunk) || consumer.wants_pause()) consumer.wait(ChunkWait(work, chunk));
        // A consumer that returns from wait() without waiting gets the chunk done here.
        work.work_until_done(chunk);
        consumer.take(batch.values(chunk));
    }
}

std::vector<double> evaluate_batch_into_vector(const LegendreBasis& basis,
                                               const CoefficientMatrix& coefficients,
                                               BatchQuantity quantity,
                                               std::span<const double> times) {
    struct IntoVector final : BatchConsumer {
        std::span<const double> times;
        std::vector<double> values;
        void write_times(std::span<double> into) override {
            std::copy(times.begin(), times.end(), into.begin());
        }
        void take(std::span<const double> chunk) override {
            values.insert(values.end(), chunk.begin(), chunk.end());
        }
    } consumer;
    consumer.times = times;
    consumer.values.reserve(times.size());
    evaluate_batch(basis, coefficients, quantity, times.size(), consumer);
    return std::move(consumer.values);
}

}  // namespace tavo

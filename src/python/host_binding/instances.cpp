#include "instances.hpp"

namespace tavo::host {

SharedAccess::SharedAccess(std::atomic<std::int64_t>& flag) : flag_(flag) {
    std::int64_t current = flag_.load(std::memory_order_relaxed);
    do {
        if (current == -1) raise(PyExc_RuntimeError, "Already mutably borrowed");
    } while (!flag_.compare_exchange_weak(current, current + 1, std::memory_order_acq_rel,
                                          std::memory_order_relaxed));
}

ExclusiveAccess::ExclusiveAccess(std::atomic<std::int64_t>& flag) : flag_(flag) {
    std::int64_t expected = 0;
    if (!flag_.compare_exchange_strong(expected, -1, std::memory_order_acq_rel,
                                       std::memory_order_relaxed)) {
        raise(PyExc_RuntimeError, "Already borrowed");
    }
}

}  // namespace tavo::host

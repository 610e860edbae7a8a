#include "instances.hpp"

namespace tavo::host {

void SharedAccess::refuse_shared_access() { raise(PyExc_RuntimeError, "Already mutably borrowed"); }

ExclusiveAccess::ExclusiveAccess(std::atomic<std::int64_t>& flag) : flag_(flag) {
    std::int64_t expected = 0;
    if (!flag_.compare_exchange_strong(expected, -1, std::memory_order_acq_rel,
                                       std::memory_order_relaxed)) {
        raise(PyExc_RuntimeError, "Already borrowed");
    }
}

}  // namespace tavo::host

/// @brief The interpreter lock: `without_lock` runs work with it released, `LockSharing` lets
/// other threads have it from a long loop, and `float_list_result` turns a computation done
/// in chunks without the lock into a float list.
#pragma once

#include <chrono>
#include <cstddef>
#include <exception>
#include <span>
#include <thread>

#include "results.hpp"

namespace tavo::host {

// Runs `work` with the interpreter lock released; nothing in it may touch an object.
template <class Work>
void without_lock(Work&& work) {
    PyThreadState* state = PyEval_SaveThread();
    try {
        work();
    } catch (const std::exception&) {
        PyEval_RestoreThread(state);
        throw;
    }
    // At exit this ends a daemon thread (see "Threads that the interpreter ends"): not in a
    // destructor, which would be noexcept.
    PyEval_RestoreThread(state);
}

// Lets other threads have the interpreter lock every few milliseconds, as the interpreter's
// own switch interval would, from a loop that holds it most of the time. Releasing the lock
// alone does not do that: the release wakes a waiting thread, which finds the lock taken again
// before it gets to run and starts its wait anew, so it never asks for the lock to be handed
// over. A short sleep with the lock free lets it run and take the lock.
class LockSharing {
public:
    // Whether the loop should give way now (it then calls give_way() with the lock released).
    bool due() const { return std::chrono::steady_clock::now() >= next_; }
    void give_way() {
        std::this_thread::sleep_for(kSleep);
        next_ = std::chrono::steady_clock::now() + kEvery;
    }

private:
    // A fiftieth of the loop's time at most.
    static constexpr std::chrono::microseconds kEvery{2000};
    static constexpr std::chrono::microseconds kSleep{20};
    std::chrono::steady_clock::time_point next_ = std::chrono::steady_clock::now() + kEvery;
};

// The float list result of a computation done in chunks without the lock: each chunk that is
// done becomes floats, with the lock held. The lock is released while the calling thread
// computes chunks or waits for the next one, and every millisecond or so to let other threads
// run. Between chunks, pending signals are handled: Ctrl-C ends a long batch with
// KeyboardInterrupt. The chunks need chunk_count(), done(chunk), work_until_done(chunk) and
// values(chunk).
template <class Chunks>
Ref float_list_result(Chunks& chunks, std::size_t size) {
    Ref list = new_list(size);
    LockSharing sharing;
    std::size_t filled = 0;
    for (std::size_t chunk = 0; chunk < chunks.chunk_count(); ++chunk) {
        const bool give_way = sharing.due();
        if (give_way || !chunks.done(chunk)) {
            without_lock([&] {
                if (give_way) sharing.give_way();
                chunks.work_until_done(chunk);
            });
        }
        require_status(PyErr_CheckSignals());
        const std::span<const double> values = chunks.values(chunk);
        fill_floats(list.get(), filled, values);
        filled += values.size();
    }
    return list;
}

}  // namespace tavo::host

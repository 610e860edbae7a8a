/// @brief The interpreter lock: `without_lock` runs work with it released, `LockSharing` lets
/// other threads have it from a long loop, `ObjectSteps` paces a loop that makes objects.
#pragma once

#include <chrono>
#include <cstddef>
#include <exception>
#include <thread>

#include "errors.hpp"

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

// A loop that makes many objects with the lock held counts them here: every few thousand it
// handles pending signals (an error ends the loop as PythonError) and gives way to other
// threads when LockSharing says so.
class ObjectSteps {
public:
    void advance(std::size_t objects) {
        made_ += objects;
        if (made_ >= kObjects) [[unlikely]]
            pause();
    }

private:
    void pause() {
        made_ = 0;
        require_status(PyErr_CheckSignals());
        if (sharing_.due()) without_lock([&] { sharing_.give_way(); });
    }
    static constexpr std::size_t kObjects = 8192;
    std::size_t made_ = 0;
    LockSharing sharing_;
};

}  // namespace tavo::host

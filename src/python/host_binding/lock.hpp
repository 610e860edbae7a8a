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
// own switch interval would, from a loop that holds it most of the time: the loop holds it for
// turns of kTurn and gives way between them. Releasing the lock alone does not hand it over:
// the release wakes a waiting thread, which finds the lock taken again before it gets to run
// and starts its wait anew. A short sleep with the lock free lets it run and take the lock.
// Getting it back costs up to a switch interval whenever another thread runs Python code
// (it keeps the lock until our wait times out), so the turns are that long too: shorter ones
// would spend most of the loop's time waiting.
class LockSharing {
public:
    // Whether the turn is over (the loop then gives way).
    bool due() const { return std::chrono::steady_clock::now() >= turn_end_; }
    // With the lock released: lets a thread that waits for it take it.
    static void let_others_take() { std::this_thread::sleep_for(kSleep); }
    // The lock is held again: a new turn.
    void start_turn() { turn_end_ = std::chrono::steady_clock::now() + kTurn; }
    void give_way() {
        without_lock([] { let_others_take(); });
        start_turn();
    }

    // The interpreter's default switch interval.
    static constexpr std::chrono::microseconds kTurn{5000};

private:
    static constexpr std::chrono::microseconds kSleep{100};
    std::chrono::steady_clock::time_point turn_end_ = std::chrono::steady_clock::now() + kTurn;
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
        if (sharing_.due()) sharing_.give_way();
    }
    static constexpr std::size_t kObjects = 8192;
    std::size_t made_ = 0;
    LockSharing sharing_;
};

}  // namespace tavo::host

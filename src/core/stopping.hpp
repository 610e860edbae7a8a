// Long loops of the core take a std::stop_token and check it every few milliseconds of work:
// a caller that has given up on the result (Ctrl-C) gets its thread back soon instead of
// after minutes.
#pragma once

#include <exception>
#include <stop_token>

namespace tavo {

// The loop left because a stop was requested; whoever requested it drops the result.
struct WorkStopped : std::exception {
    const char* what() const noexcept override { return "the work was stopped"; }
};

inline void leave_if_stopped(const std::stop_token& stop) {
    if (stop.stop_requested()) [[unlikely]]
        throw WorkStopped{};
}

}  // namespace tavo

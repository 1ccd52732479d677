// Internal to platform/: the shared record behind a Thread and the calling thread's view
// of it, so that every wait can watch its own thread's stop request.
#pragma once

#include "platform/stepped.h"
#include "platform/sync.h"

#include <atomic>
#include <cstdint>

namespace kestrune::platform {

struct ThreadState {
    std::atomic<bool> stop{false};
    std::atomic<bool> suspended{false};
    std::atomic<bool> finished{false};
    std::atomic<bool> started{false};
    std::uint32_t id = 0;
    Event resume_event{true, false};
    Event finished_event{true, false};
    Event stop_event{true, false};
    stepped::Turn turn; // its place in the baton order of a stepped run
};

// The state of the calling thread, or null on threads not made by Thread.
ThreadState* current_thread_state();

} // namespace kestrune::platform

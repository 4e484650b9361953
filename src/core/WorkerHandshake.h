// The start/stop handshake every mode worker follows: the starter sets ALIVE
// and clears the close request before creating the thread; the thread runs
// until its close request is set and clears ALIVE as its very last act.
#pragma once

#include <thread>

#include "core/DR_common.h"
#include "core/DR_shared.h"

namespace diviv {

// Starts fn(dr) on a detached thread after the starter's half of the
// handshake. Returns false (and clears ALIVE) if the thread cannot be made.
template <typename Fn>
bool StartWorker(dr_common_t* dr, dr_flag& alive, dr_flag& request, Fn fn) {
    alive = 1;
    request = 0;
    try {
        std::thread(fn, dr).detach();
    } catch (...) {
        alive = 0;
        return false;
    }
    return true;
}

// Body of a worker that has nothing to do yet in this mode: waits for its
// close request (20 ms polls) and ends.
inline void IdleUntilClosed(dr_flag& alive, dr_flag& request) {
    while (request.load() == 0) dr_usleep(20000);
    alive = 0;
}

}  // namespace diviv

// The start/stop handshake every mode worker follows: the starter sets ALIVE
// and clears the close request before creating the thread; the thread runs
// until its close request is set and clears ALIVE as its very last act.
#pragma once

#include <cstdio>
#include <thread>

#include "core/DR_common.h"
#include "core/DR_shared.h"

namespace diviv {

// Starts fn(dr) on a detached thread after the starter's half of the
// handshake. A worker of the same kind that was left behind by an earlier
// mode and still runs is not started twice. Returns the new thread's id, or
// 0 when no thread was started.
template <typename Fn>
long StartWorker(dr_common_t* dr, dr_flag& alive, dr_flag& request, Fn fn) {
    if (alive.load() == 1) {
        std::printf("CM : Error :: previous thread is still alive\n");
        return 0;
    }
    alive = 1;
    request = 0;
    try {
        std::thread t(fn, dr);
        const long id = static_cast<long>(t.native_handle());
        t.detach();
        return id;
    } catch (...) {
        alive = 0;
        return 0;
    }
}

// Body of a worker that has nothing to do yet in this mode: waits for its
// close request (20 ms polls) and ends.
inline void IdleUntilClosed(dr_flag& alive, dr_flag& request) {
    while (request.load() == 0) dr_usleep(20000);
    alive = 0;
}

}  // namespace diviv

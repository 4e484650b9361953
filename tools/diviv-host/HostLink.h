// The supervising process's side of the recorder's host queues: sending a
// command, waiting for its acknowledgement, following the replies.
#pragma once

#include <cstdio>

#include "HostCommands.h"

namespace diviv_host {

// Exit statuses of diviv-host.
inline constexpr int kExitOk = 0;
inline constexpr int kExitTimeout = 1;     // no acknowledgement in time
inline constexpr int kExitUsage = 2;
inline constexpr int kExitQueueError = 3;  // a queue id that names no usable queue

struct Queues {
    int down = -1;  // commands to the recorder
    int up = -1;    // replies from the recorder
};

// Sends the request (a 64-byte message of type 1, waiting while the command
// queue is full until `timeout_s` is over) and waits up to `timeout_s`
// seconds for its acknowledgement, printing it to `out`. Replies to other
// commands taken on the way are printed as such and not counted. Returns
// one of the exit statuses.
int SendAndAwait(const Queues& q, const Request& request, double timeout_s, std::FILE* out, std::FILE* err);

// Prints every reply as it arrives until the reply queue is removed (the
// board was switched off: status 0) or, with `count` > 0, that many replies
// were printed. A reply queue that cannot be read at the start is a queue
// error.
int Watch(int up_qid, int count, std::FILE* out, std::FILE* err);

}  // namespace diviv_host

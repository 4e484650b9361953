#include "HostLink.h"

#include <sys/ipc.h>
#include <sys/msg.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "core/HostQueue.h"

namespace diviv_host {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kPollStep = std::chrono::milliseconds(10);

Clock::time_point Deadline(double seconds) {
    return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// "9 (rec)", or "77" for a command without a name.
std::string Described(int command) {
    const std::string name = CommandName(command);
    return name.empty() ? std::to_string(command) : std::to_string(command) + " (" + name + ")";
}

int32_t EchoOf(const commsg_t& m) {
    int32_t echo;
    std::memcpy(&echo, m.MsgData, sizeof echo);
    return echo;
}

// One reply off the queue: 1 taken, 0 none waiting, -1 the queue is unusable.
int TakeReply(int qid, commsg_t* reply) {
    const int r = g_MSG_Recv(qid, reply, kHostMessageSize, 1, IPC_NOWAIT);
    if (r == 1) return 1;
    return r == -1 ? -1 : 0;  // -2 empty; 0 a message of another size or type, dropped
}

}  // namespace

int SendAndAwait(const Queues& q, const Request& request, double timeout_s, std::FILE* out, std::FILE* err) {
    const commsg_t message = Encode(request);
    const Clock::time_point deadline = Deadline(timeout_s);
    // A full command queue is waited out; a refused message is an error.
    while (true) {
        const int sent = g_MSG_Send(q.down, &message, kHostMessageSize, 1, IPC_NOWAIT);
        if (sent == 1) break;
        if (sent < 0) {
            std::fprintf(err, "diviv-host: cannot send on queue %d: %s\n", q.down, std::strerror(errno));
            return kExitQueueError;
        }
        if (Clock::now() >= deadline) {
            std::fprintf(err, "diviv-host: command queue %d stayed full, %s not sent\n", q.down,
                         Described(request.command).c_str());
            return kExitTimeout;
        }
        std::this_thread::sleep_for(kPollStep);
    }

    const int expected = ExpectedEcho(request.command);
    while (true) {
        commsg_t reply{};
        const int r = TakeReply(q.up, &reply);
        if (r < 0) {
            std::fprintf(err, "diviv-host: cannot read replies on queue %d: %s\n", q.up, std::strerror(errno));
            return kExitQueueError;
        }
        if (r == 1) {
            const int echo = EchoOf(reply);
            if (echo == expected) {
                std::fprintf(out, "diviv-host: acknowledged %s\n", Described(echo).c_str());
                return kExitOk;
            }
            // An acknowledgement of someone else's (or an earlier) command.
            std::fprintf(out, "diviv-host: reply %s (not ours)\n", Described(echo).c_str());
            continue;
        }
        if (Clock::now() >= deadline) {
            std::fprintf(err, "diviv-host: no acknowledgement of %s within %g s\n", Described(request.command).c_str(),
                         timeout_s);
            return kExitTimeout;
        }
        std::this_thread::sleep_for(kPollStep);
    }
}

int Watch(int up_qid, int count, std::FILE* out, std::FILE* err) {
    msqid_ds ds{};
    if (::msgctl(up_qid, IPC_STAT, &ds) != 0) {
        std::fprintf(err, "diviv-host: cannot read replies on queue %d: %s\n", up_qid, std::strerror(errno));
        return kExitQueueError;
    }
    std::fprintf(out, "diviv-host: watching replies on queue %d\n", up_qid);
    std::fflush(out);
    for (int printed = 0; count <= 0 || printed < count;) {
        commsg_t reply{};
        const int r = TakeReply(up_qid, &reply);
        if (r < 0) {
            // Removed: the board was switched off and its queues went with it.
            std::fprintf(out, "diviv-host: reply queue %d is gone\n", up_qid);
            return kExitOk;
        }
        if (r == 0) {
            std::this_thread::sleep_for(kPollStep);
            continue;
        }
        std::fprintf(out, "diviv-host: reply %s\n", Described(EchoOf(reply)).c_str());
        std::fflush(out);
        ++printed;
    }
    return kExitOk;
}

}  // namespace diviv_host

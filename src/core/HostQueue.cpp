#include "core/HostQueue.h"

#include <sys/ipc.h>
#include <sys/msg.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "core/DR_common.h"
#include "core/DR_shared.h"
#include "core/HostMessage.h"
#include "core/Indicator.h"
#include "platform/BoardPath.h"

int32_t DRM_DOWN_QID = 0, DRM_UP_QID = 0, DRA_DOWN_QID = 0, DRA_UP_QID = 0;

namespace {

// Largest text a System V message can carry by default (MSGMAX).
constexpr size_t kMaxText = 8192;

constexpr uint32_t kFetchStepUs = 10000;   // between two fetch tries, 10 ms
constexpr int kFetchTries = 10;
// Messages of another type dropped at once (without a try's wait) per fetch;
// past this a host flooding the queue costs tries like an empty queue.
constexpr int kFetchFreeDrops = 64;
constexpr uint32_t kReplyRetryUs = 100000;  // reply queue full: retry after 100 ms
// Retries of a reply while the reply queue stays full: about one second. A
// host that stopped reading must not hold the main loop, whose ignition and
// power steps would then never run.
constexpr int kReplyRetries = 10;

// A message buffer as msgsnd/msgrcv lay it out: the type, then the text.
struct WireMessage {
    explicit WireMessage(size_t text_size) : bytes(sizeof(long) + text_size) {}
    void* data() { return bytes.data(); }
    char* text() { return bytes.data() + sizeof(long); }
    void set_type(long type) { std::memcpy(bytes.data(), &type, sizeof type); }
    std::vector<char> bytes;
};

// g_MSG_Recv, also telling the type of the message taken (`type` 0 takes
// the first message of any type).
int Receive(int qid, void* data, int size, long type, int flag, long* received_type) {
    if (size < 0 || static_cast<size_t>(size) >= kMaxText) return -1;
    msqid_ds ds{};
    if (::msgctl(qid, IPC_STAT, &ds) != 0) return -1;
    if (ds.msg_qnum == 0) return -2;
    // One byte more than wanted, truncating: a longer text shows up as
    // size + 1 and is dropped, instead of staying at the head of the queue.
    WireMessage m(static_cast<size_t>(size) + 1);
    ssize_t n;
    while (true) {
        n = ::msgrcv(qid, m.data(), static_cast<size_t>(size) + 1, type, flag | MSG_NOERROR);
        if (n >= 0 || errno != EINTR) break;
    }
    if (n < 0) return errno == ENOMSG ? 0 : -1;
    if (n != size) return 0;
    if (received_type != nullptr) std::memcpy(received_type, m.data(), sizeof *received_type);
    std::memcpy(data, m.text(), static_cast<size_t>(size));
    return 1;
}

}  // namespace

int g_MSG_Create(const char* path) {
    const key_t key = ::ftok(path != nullptr ? path : ".", 'm');
    if (key == static_cast<key_t>(-1)) return -2;
    const int qid = ::msgget(key, IPC_CREAT | 0660);
    return qid < 0 ? -1 : qid;
}

int g_MSG_Send(int qid, const void* data, int size, long type, int flag) {
    if (size < 0 || static_cast<size_t>(size) > kMaxText) return -1;
    WireMessage m(static_cast<size_t>(size));
    m.set_type(type);
    if (size > 0) std::memcpy(m.text(), data, static_cast<size_t>(size));
    while (true) {
        if (::msgsnd(qid, m.data(), static_cast<size_t>(size), flag) == 0) return 1;
        // System V calls are never restarted after a signal (the 100 ms timer).
        if (errno == EINTR) continue;
        if (errno == EAGAIN && (flag & IPC_NOWAIT)) return 0;
        return -1;
    }
}

int g_MSG_Recv(int qid, void* data, int size, long type, int flag) {
    return Receive(qid, data, size, type, flag, nullptr);
}

int g_MSG_Delete(int qid) { return ::msgctl(qid, IPC_RMID, nullptr) == 0 ? 0 : -1; }

int MSG_Clear(int qid) {
    if (qid <= 0) return 0;
    WireMessage m(kMaxText);
    int last = 0;
    while (true) {
        const ssize_t n = ::msgrcv(qid, m.data(), kMaxText, 0, IPC_NOWAIT | MSG_NOERROR);
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        last = 0;
        if (n >= 4) std::memcpy(&last, m.text(), sizeof last);
    }
    return last;
}

int SetupMessageQue() {
    static constexpr const char* kPaths[6] = {"/var/tmp/msgque1", "/var/tmp/msgque2", "/var/tmp/msgque3",
                                              "/var/tmp/msgque4", "/var/tmp/msgque5", "/var/tmp/msgque6"};
    static constexpr int32_t dr_common_t::*kIds[6] = {&dr_common_t::APP_QID, &dr_common_t::CM_QID,
                                                      &dr_common_t::VC_QID,  &dr_common_t::VE_QID,
                                                      &dr_common_t::AD_QID,  &dr_common_t::VD_QID};
    for (int i = 0; i < 6; ++i) {
        const int qid = g_MSG_Create(BoardPath(kPaths[i]).c_str());
        if (qid < 0) {
            DR_SYSLOG(DR_ERR_FATAL, "Failure of memory allocation.", 1);
            std::printf("%s:%d：%s\n", __FILE__, __LINE__, __func__);
            std::printf("Process: Error: failed to create or get MsgQue%d [%d]\n", i + 1, __LINE__);
            if (i > 0) SetLED(1, 0, 2);
            return -1;
        }
        if (drc != nullptr) drc->*kIds[i] = qid;
        MSG_Clear(qid);
    }
    return 0;
}

int GetHostCommand(int* command, int* param, char* ComStrBuf) {
    commsg_t in{};
    bool got = false;
    int dropped = 0;
    for (int i = 0; i < kFetchTries && !got;) {
        // Without a host queue (no command line) nothing is read: like the
        // worker queues' id 0, it may be any other process's queue. Messages
        // of every type are taken, so that none can stay in the queue and
        // fill it for good; only type 1 is a command.
        long type = 0;
        const int r = DRM_DOWN_QID > 0 ? Receive(DRM_DOWN_QID, &in, kHostMessageSize, 0, IPC_NOWAIT, &type) : -2;
        got = r == 1 && type == 1;
        if (got) break;
        if (r == 1) {
            std::printf("DiViv : Host message of type %ld dropped\n", type);
            if (++dropped <= kFetchFreeDrops) continue;  // the next message at once
        }
        ++i;
        dr_usleep(kFetchStepUs);
    }
    if (!got) return 0;

    const int32_t echo = DecodeHostCommand(in, command, param, ComStrBuf);
    const int cmd = *command;
    commsg_t reply{};
    std::memcpy(reply.MsgData, &echo, sizeof echo);
    for (int retry = 0;; ++retry) {
        const int sent = g_MSG_Send(DRM_UP_QID, &reply, kHostMessageSize, 1, IPC_NOWAIT);
        if (sent == 1) return 1;
        if (sent < 0) return -1;
        if (retry == kReplyRetries) break;
        dr_usleep(kReplyRetryUs);
    }
    // The host has not read its replies for a second: the command still runs.
    std::printf("DiViv : Reply queue full, acknowledgement of command %d dropped\n", cmd);
    return 1;
}

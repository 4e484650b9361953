#include "BoardInputs.h"

#include <fcntl.h>
#include <linux/input.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim/SimBoard.h"

namespace boardsim {

namespace {

constexpr int kHostTextSize = 64;

// 1 when sent, 0 when the queue is full, -1 when it refused the message.
int Send(int qid, const void* text, size_t size, long type = 1) {
    struct {
        long type;
        char text[512];
    } m{};
    m.type = type;
    std::memcpy(m.text, text, size);
    if (::msgsnd(qid, &m, size, IPC_NOWAIT) == 0) return 1;
    return errno == EAGAIN ? 0 : -1;
}

void RemoveQueueKeyedBy(const std::string& path) {
    const key_t key = ::ftok(path.c_str(), 'm');
    if (key == static_cast<key_t>(-1)) return;
    const int qid = ::msgget(key, 0);
    if (qid >= 0) ::msgctl(qid, IPC_RMID, nullptr);
}

}  // namespace

BoardInputs::~BoardInputs() {
    if (key_fd_ >= 0) ::close(key_fd_);
    if (power_fd_ >= 0) ::close(power_fd_);
}

bool BoardInputs::Open(std::string* error) {
    // O_RDWR: a FIFO opened for reading and writing never blocks the opener.
    key_fd_ = ::open((root_ + "/dev/input/event0").c_str(), O_RDWR | O_CLOEXEC);
    power_fd_ = ::open((root_ + "/dev/input/event1").c_str(), O_RDWR | O_CLOEXEC);
    if (key_fd_ < 0 || power_fd_ < 0) {
        *error = "cannot open the input event FIFOs in " + root_ + "/dev/input";
        return false;
    }
    down_qid_ = ::msgget(IPC_PRIVATE, IPC_CREAT | 0600);
    up_qid_ = ::msgget(IPC_PRIVATE, IPC_CREAT | 0600);
    if (down_qid_ < 0 || up_qid_ < 0) {
        *error = "cannot create the host queues";
        return false;
    }
    const unsigned long word =
        std::strtoul(diviv::sim::ReadTextFile(root_ + "/proc/driver/power").c_str(), nullptr, 16);
    supply_ = (word & 1) == 0;
    ignition_ = (word & 2) != 0;
    power_switch_ = (word & 4) != 0;
    return true;
}

void BoardInputs::WritePowerWord() { diviv::sim::WritePowerState(root_, supply_, ignition_, power_switch_); }

void BoardInputs::SendEvent(int fd, int type, int code, int value) {
    input_event ev{};
    ::gettimeofday(&ev.time, nullptr);
    ev.type = static_cast<uint16_t>(type);
    ev.code = static_cast<uint16_t>(code);
    ev.value = value;
    // One record per write: a FIFO write this small is never split.
    (void)!::write(fd, &ev, sizeof ev);
}

void BoardInputs::SetIgnition(bool on) {
    ignition_ = on;
    WritePowerWord();
    SendEvent(power_fd_, kEventSwitch, 1, on ? 1 : 0);
}

void BoardInputs::SetSupplyPower(bool present) {
    supply_ = present;
    WritePowerWord();
    // The detector reports a loss as a nonzero value.
    SendEvent(power_fd_, kEventSwitch, 0, present ? 0 : 1);
}

void BoardInputs::SetPowerSwitch(bool on) {
    power_switch_ = on;
    WritePowerWord();
    SendEvent(power_fd_, kEventSwitch, 2, on ? 1 : 0);
}

void BoardInputs::HoldKey(const KeyInfo& key, bool held) {
    if (held) {
        held_ |= key.held_bit;
    } else {
        held_ &= ~key.held_bit;
    }
    diviv::sim::WriteInputWord(root_, InputWord());
}

void BoardInputs::SetContact(int input, bool active) {
    if (input < 0 || input > 6) return;
    if (active) {
        contacts_ |= 1u << input;
    } else {
        contacts_ &= ~(1u << input);
    }
    diviv::sim::WriteInputWord(root_, InputWord());
}

void BoardInputs::SetGpsWakeup(bool running) {
    gps_wakeup_ = running;
    diviv::sim::WriteInputWord(root_, InputWord());
}

// Held keys on bits 0..4; contact n on bit 9 + n, where the idle word has
// the lower four lines high (inactive) and the upper three low; the GPS
// module's WAKEUP on bit 19.
uint32_t BoardInputs::InputWord() const {
    return (diviv::sim::kInputIdle ^ (contacts_ << 9)) | held_ | (gps_wakeup_ ? 1u << 19 : 0u);
}

void BoardInputs::SendKeyEvent(const KeyInfo& key, bool pressed) {
    if (key.code != 0) SendEvent(key_fd_, kEventKey, key.code, pressed ? 1 : 0);
}

int BoardInputs::SendHostCommand(int command, int param, const std::string& text, bool text_param) {
    char msg[kHostTextSize] = {};
    const int32_t cmd = command;
    std::memcpy(msg, &cmd, 4);
    if (text_param) {
        std::memcpy(msg + 4, text.data(), std::min<size_t>(text.size(), kHostTextSize - 5));
    } else {
        const int32_t p = param;
        std::memcpy(msg + 4, &p, 4);
    }
    return Send(down_qid_, msg, sizeof msg);
}

int BoardInputs::FillHostQueue(long type) {
    const char msg[kHostTextSize] = {};
    int sent = 0;
    while (Send(down_qid_, msg, sizeof msg, type) == 1) ++sent;
    return sent;
}

bool BoardInputs::TakeAcknowledgement(int* echo) {
    struct {
        long type;
        char text[kHostTextSize];
    } m{};
    const ssize_t n = ::msgrcv(up_qid_, &m, sizeof m.text, 0, IPC_NOWAIT | MSG_NOERROR);
    if (n < 4) return false;
    int32_t e;
    std::memcpy(&e, m.text, 4);
    *echo = e;
    return true;
}

void BoardInputs::PowerDown() {
    if (down_qid_ >= 0) ::msgctl(down_qid_, IPC_RMID, nullptr);
    if (up_qid_ >= 0) ::msgctl(up_qid_, IPC_RMID, nullptr);
    down_qid_ = up_qid_ = -1;
    for (int i = 1; i <= 6; ++i) RemoveQueueKeyedBy(root_ + "/var/tmp/msgque" + std::to_string(i));
    RemoveQueueKeyedBy(root_ + "/usr/local/sbin/notifysdevent_key");
}

}  // namespace boardsim

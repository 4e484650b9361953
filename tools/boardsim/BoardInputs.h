// What the board feels: ignition, supply power, power switch, keys, the
// supervising host's commands and the card-watching service's events.
#pragma once

#include <cstdint>
#include <string>

#include "Scenario.h"

namespace boardsim {

// Native event types of the two input devices.
inline constexpr int kEventKey = 1;     // event0: keys
inline constexpr int kEventSwitch = 5;  // event1: PWR_DET 0, ACC_IN 1, PWRSW_IN 2

class BoardInputs {
public:
    explicit BoardInputs(std::string root) : root_(std::move(root)) {}
    ~BoardInputs();
    BoardInputs(const BoardInputs&) = delete;
    BoardInputs& operator=(const BoardInputs&) = delete;

    // Opens the event FIFOs for writing (kept open for the board's life, so
    // the recorder's open/read/close per event never sees an end of file),
    // creates the two host queues and reads the power word the board starts
    // with. False with a reason.
    bool Open(std::string* error);

    int down_qid() const { return down_qid_; }  // host -> recorder
    int up_qid() const { return up_qid_; }      // recorder -> host

    // Each writes the power word first, then sends the switch event.
    void SetIgnition(bool on);
    void SetSupplyPower(bool present);
    void SetPowerSwitch(bool on);

    // Held-key bits of "/proc/driver/input" and press/release events.
    void HoldKey(const KeyInfo& key, bool held);
    void SendKeyEvent(const KeyInfo& key, bool pressed);

    // Contact input `input` (0..6) of the input word (bits 9..15): active
    // means the recorder reads its bit as 1, so the lower four, which are
    // active-low, clear their line and the upper three set it.
    void SetContact(int input, bool active);

    // The GPS module's WAKEUP output: bit 19 of the input word, high while
    // the module runs.
    void SetGpsWakeup(bool running);

    // Sends a host command (64-byte text of type 1). 1 when sent, 0 when the
    // queue is full, -1 when it refused the message.
    int SendHostCommand(int command, int param, const std::string& text, bool text_param);
    // Sends 64-byte messages of `type` until the command queue is full;
    // returns how many it took.
    int FillHostQueue(long type);
    // Takes one acknowledgement off the reply queue; false if none waits.
    bool TakeAcknowledgement(int* echo);

    // Everything the board held in the kernel goes with the power: the host
    // queues, the recorder's worker queues and the card-event queue.
    void PowerDown();

private:
    void WritePowerWord();
    uint32_t InputWord() const;
    void SendEvent(int fd, int type, int code, int value);

    std::string root_;
    int key_fd_ = -1;
    int power_fd_ = -1;
    int down_qid_ = -1;
    int up_qid_ = -1;
    bool supply_ = true;
    bool ignition_ = true;
    bool power_switch_ = false;
    unsigned held_ = 0;
    unsigned contacts_ = 0;  // active contact inputs, bit n = input n
    bool gps_wakeup_ = false;
};

}  // namespace boardsim

// What the board shows: the LEDs, the buzzer, the power controller and the
// card unmounts, read from the files the recorder writes in the board root.
#pragma once

#include <sys/types.h>

#include <array>
#include <ctime>
#include <string>
#include <vector>

namespace boardsim {

// One thing the board did, at seconds since the run started.
struct TimelineEntry {
    double t;
    std::string what;
};

using LedTriple = std::array<int, 3>;

// The LED triple as the LED files show it now: "timer" trigger is blinking
// (fast for delays up to 350 ms, else slow), otherwise the brightness.
LedTriple ReadLeds(const std::string& root);
// As ReadLeds; false if a file was caught empty while being rewritten.
bool ReadLedsIfWhole(const std::string& root, LedTriple* leds);

// "1,1,0"
std::string LedText(const LedTriple& leds);

// Puts the LEDs and the buzzer into their power-on state (dark, no pattern).
void ResetIndicators(const std::string& root);

class BoardWatch {
public:
    // Starts watching; what the files already hold counts as the past.
    explicit BoardWatch(std::string root);

    // Reads what changed since the last poll and appends it to `out`.
    void Poll(double now, std::vector<TimelineEntry>* out);

    // Once the recorder is gone nothing changes any more: takes the LED
    // triple as the files show it, without waiting for a second poll.
    void Settle(double now, std::vector<TimelineEntry>* out);

    // The last LED triple that stayed the same for a moment (15 ms).
    const LedTriple& Leds() const { return leds_; }
    // True once the recorder wrote "2" to the power controller.
    bool SwitchedOff() const { return switched_off_; }

private:
    void PollLeds(double now, std::vector<TimelineEntry>* out);
    void PollBuzzer(double now, std::vector<TimelineEntry>* out);
    void PollPowerCommands(double now, std::vector<TimelineEntry>* out);
    void PollEvents(double now, std::vector<TimelineEntry>* out);
    // New complete lines of a file written by appending.
    std::vector<std::string> NewLines(const std::string& path, off_t* offset, std::string* partial);

    std::string root_;
    LedTriple leds_{};
    LedTriple candidate_{};
    double candidate_since_ = 0;
    timespec buzzer_mtime_{};
    off_t power_offset_ = 0;
    std::string power_partial_;
    off_t events_offset_ = 0;
    std::string events_partial_;
    bool switched_off_ = false;
};

}  // namespace boardsim

// The scenario of a simulated board run: a plain text timeline, one step per
// line ("TIME VERB ARGS..."). The format is described in README.md.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace boardsim {

enum class Verb {
    Ignition,     // ignition on|off
    Power,        // power lost|back
    PowerSwitch,  // powersw on|off
    Key,          // key NAME: press and release
    Hold,         // hold NAME[+NAME...] SECONDS
    Host,         // host CMD [PARAM|TEXT]: send, check the acknowledgement
    HostFill,     // host fill TYPE: fill the command queue with messages of another type
    HostReplies,  // host replies on|off: read the reply queue, or leave it as a host that stopped reading
    Card,         // card insert|remove
    Camera,       // camera drop N | stall SECONDS | eio [COUNT]: a camera fault in the world file
    Gps,          // gps fix|nofix|silent|nowake|route FILE|route loop: the GPS module (world file)
    Microphone,   // microphone FILE|tone | eintr [COUNT] | timeout [COUNT] | stall SECONDS (world file)
    Speed,        // speed KMH: the vehicle's speed (world file)
    Engine,       // engine RPM: the engine's speed (world file)
    Shock,        // shock FB LR UD: a short jolt in g (world file)
    Accel,        // accel FB LR UD: a held acceleration in g (world file)
    Contact,      // contact N on|off: contact input N (0-6) of the board's input word
    Gsensor,      // gsensor position P: how the G-sensor is mounted (world file)
    Screenshot,   // screenshot FILE
    WaitLine,     // wait line "TEXT" [within S]: a new console line containing TEXT
    WaitLed,      // wait led A B C [within S]
    WaitOff,      // wait off [within S]
    ExpectLine,   // expect line "TEXT" [within S]: seen since the start, or within S
    ExpectNoLine, // expect noline "TEXT": never seen during the whole run
    ExpectLed,    // expect led A B C [within S]
    ExpectOff,    // expect off [within S]: the board was switched off
    ExpectOn,     // expect on: the board runs and was not switched off
    ExpectExit,   // expect exit N [within S]: the program ended by itself with N
    End,          // end: ends the run now
};

// Keys of the board: the input-event code (0 if the key has none) and the
// bit of the held-key word.
struct KeyInfo {
    const char* name;
    int code;
    unsigned held_bit;
};
// nullptr for an unknown name.
const KeyInfo* FindKey(std::string_view name);

struct Step {
    int line_no = 0;
    bool relative = false;  // time counts from the previous step, not from the start
    double time = 0;        // seconds
    Verb verb = Verb::End;
    bool on = false;                // ignition on, power back, powersw on, card insert, replies on
    std::vector<const KeyInfo*> keys;
    double seconds = 0;             // hold time; wait/expect time limit (0: the verb's default)
    int command = 0, param = 0;     // host; host fill: the message type in `command`
    bool text_param = false;        // host: the parameter is text
    std::string text;               // host text, console text, screenshot path, camera fault kind, gps kind
    std::string file;               // gps route: the CSV file, or "loop"
    std::array<int, 3> led{};
    double value = 0;               // speed: km/h; engine: rpm
    std::array<double, 3> g{};      // shock, accel: front/back, left/right, up/down in g
    int status = 0;                 // expect exit
    std::string source;             // the line as written
};

// True for the verbs that check something rather than act on the board.
bool IsCheck(Verb v);
// True for the verbs a running board takes from `boardsim ctl`.
bool IsAction(Verb v);

// Parses a whole scenario. On a mistake returns false with "line N: why".
bool ParseScenario(std::string_view text, std::vector<Step>* steps, std::string* error);

// Parses one step without its time ("key stop"), as `boardsim ctl` sends it.
bool ParseStep(std::string_view line, Step* step, std::string* error);

// Host commands whose parameter is a text.
bool IsTextCommand(int command);

}  // namespace boardsim

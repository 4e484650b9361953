// The board's GPS module, played by boardsim on the far ends of the serial
// lines: "/dev/ttymxc1" (the module, 4800 bit/s NMEA) and "/dev/ttymxc2"
// (UART3, where the recorder copies what it receives) are links in the board
// root to pseudo-terminals whose master sides this module holds.
//
// The module follows its control lines, the LED-class files the recorder
// writes:
//   - "GPS_P_CNT/brightness" 1 holds the module in reset (silent, asleep,
//     its message settings lost); back at 0 it starts hibernating;
//   - a pulse on "GPSONOFF" (trigger "pattern" and "times" written) toggles
//     it between running and hibernating 100 ms later, unless the scenario
//     made it a module that never wakes.
// Its WAKEUP output (high while running) goes to the board input word.
//
// While running it obeys the SiRF NMEA input messages it receives (with a
// correct checksum): $PSRF101 (navigation initialisation) and $PSRF103
// (message rate: GGA, GLL, GSA, GSV, RMC, VTG, ZDA off or every N seconds,
// or once on query). Until told otherwise it sends its default sentences
// (GGA, GSA, RMC every second, GSV every 5 s) at each whole second of the
// board's wall clock, stamped with its UTC time and date.
//
// The world file decides what it reports (kWorldGps* keys): a fix (status
// A, position, speed over ground and course along the route; the course is
// empty while the vehicle stands still), no fix (status V, time and date
// only), or nothing at all. The route is one CSV row "lat,lon,km/h" per
// second, played from its first row when the module first runs and looped
// at its end; without a file, the built-in loop.
//
// Bytes arriving on UART3 are appended to kUart3Log in the board root.
#pragma once

#include <sys/types.h>

#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "BoardWatch.h"
#include "sim/World.h"

namespace boardsim {

inline constexpr const char* kGpsLink = "/dev/ttymxc1";
inline constexpr const char* kUart3Link = "/dev/ttymxc2";
inline constexpr const char* kUart3Log = "/sim/uart3.log";  // what the recorder sent on UART3
inline constexpr unsigned kGpsWakeupBit = 1u << 19;         // of the board input word

// --- NMEA ---------------------------------------------------------------

// XOR of the characters between "$" and "*".
unsigned NmeaChecksum(std::string_view body);
// "$" body "*HH" CR LF.
std::string NmeaSentence(std::string_view body);
// True when a received line ("$...*HH", CR LF optional) has a checksum and
// it is right; *body receives what lies between "$" and "*".
bool CheckNmea(std::string_view line, std::string* body);

// --- the route ----------------------------------------------------------

struct RoutePoint {
    double lat = 0;        // degrees, north positive
    double lon = 0;        // degrees, east positive
    double speed_kmh = 0;  // over ground
};

// One row per second: "lat,lon,km/h". Blank lines and "#" comments are
// skipped, a first line that is not numbers is a header. False with
// "line N: why".
bool ParseRoute(std::string_view csv, std::vector<RoutePoint>* route, std::string* error);
bool LoadRoute(const std::string& path, std::vector<RoutePoint>* route, std::string* error);
// The built-in loop: 3 s standing still near Tokyo Station, then a circle
// of 600 m at 36 km/h (60 rows); 63 rows.
std::vector<RoutePoint> BuiltInLoop();
// Initial great-circle bearing from one point to another, 0..360 degrees.
double CourseDegrees(const RoutePoint& from, const RoutePoint& to);

// What one RMC sentence reports.
struct RmcReport {
    std::tm utc{};         // time and date
    bool fix = true;       // status A with position, speed and course; else V
    RoutePoint at;
    std::optional<double> course;  // empty while standing still
};
std::string RmcSentence(const RmcReport& r);

// --- the module ---------------------------------------------------------

class GpsModule {
public:
    // Running or not goes to `wakeup_line` (the WAKEUP output).
    GpsModule(std::string root, std::function<void(bool running)> wakeup_line);
    ~GpsModule();
    GpsModule(const GpsModule&) = delete;
    GpsModule& operator=(const GpsModule&) = delete;

    // Opens both pseudo-terminals and links them into the board root; puts
    // the control lines in their power-on state. False with a reason.
    bool Open(std::string* error);

    // Master sides, for poll(2).
    int gps_fd() const { return gps_fd_; }
    int uart3_fd() const { return uart3_fd_; }

    // Follows the control lines and the world, reads what the recorder
    // sent, sends the sentences now due. `now`: seconds on a monotonic
    // clock; `utc`: the board's wall clock. Notes for the timeline in *out.
    void Poll(double now, const timespec& utc, std::vector<TimelineEntry>* out);
    // As Poll with the real clocks.
    void Poll(double now, std::vector<TimelineEntry>* out);

    bool running() const { return state_ == State::kRunning; }
    // Sentences sent per second by type index (GGA 0, GLL 1, GSA 2, GSV 3,
    // RMC 4, VTG 5, ZDA 8); 0 is off.
    int rate(int message) const;
    // Route rows reported so far.
    long route_row() const { return row_; }

private:
    enum class State {
        kReset,        // power control high: silent and asleep
        kHibernating,  // WAKEUP low, listens for a pulse only
        kRunning,      // WAKEUP high, sends and obeys input messages
    };

    void FollowLines(double now, std::vector<TimelineEntry>* out);
    void FollowWorld(double now, std::vector<TimelineEntry>* out);
    void ReadInput(double now, std::vector<TimelineEntry>* out);
    void Obey(const std::string& body, double now, std::vector<TimelineEntry>* out);
    void SendDue(const timespec& utc, double now, std::vector<TimelineEntry>* out);
    void SetState(State s, double now, std::vector<TimelineEntry>* out, const char* why);
    void DefaultRates();
    void DrainUart3();

    std::string root_;
    std::function<void(bool)> wakeup_line_;
    int gps_fd_ = -1, gps_slave_ = -1;
    int uart3_fd_ = -1, uart3_slave_ = -1;
    diviv::sim::WorldReader world_;

    State state_ = State::kHibernating;
    int power_line_ = 0;
    timespec pulse_stamp_{};         // "GPSONOFF/times" as last seen
    std::optional<double> toggle_at_;  // end of the pulse being given
    std::string signal_ = "fix";
    bool wakes_ = true;
    std::string route_path_;
    std::vector<RoutePoint> route_;
    long row_ = 0;
    int rates_[10] = {};             // seconds between sentences, by message number
    bool query_[10] = {};            // one sentence asked for
    bool rates_changed_ = false;     // to be noted once the input is read
    time_t last_second_ = 0;
    std::string input_;
    bool line_full_noted_ = false;
};

}  // namespace boardsim

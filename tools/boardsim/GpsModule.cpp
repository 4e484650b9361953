#include "GpsModule.h"

#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "sim/SimBoard.h"

namespace boardsim {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kKnotsPerKmh = 1.0 / 1.852;
constexpr double kPulseSeconds = 0.1;  // the module toggles at the end of the 100 ms pulse
constexpr int kGGA = 0, kGLL = 1, kGSA = 2, kGSV = 3, kRMC = 4, kVTG = 5, kZDA = 8;
constexpr int kMessages = 10;

double Radians(double deg) { return deg * kPi / 180.0; }

// "ddmm.mmmm,N" / "dddmm.mmmm,E"
std::string Coordinate(double deg, bool latitude) {
    const char hemisphere = latitude ? (deg < 0 ? 'S' : 'N') : (deg < 0 ? 'W' : 'E');
    double a = std::fabs(deg);
    int whole = static_cast<int>(a);
    double minutes = (a - whole) * 60.0;
    // Rounded to 4 decimals, 60.0000 minutes carries into the degrees.
    if (std::lround(minutes * 10000) >= 600000) {
        ++whole;
        minutes = 0;
    }
    char text[32];
    std::snprintf(text, sizeof text, latitude ? "%02d%07.4f,%c" : "%03d%07.4f,%c", whole, minutes, hemisphere);
    return text;
}

std::string UtcTime(const std::tm& t) {
    char text[48];
    std::snprintf(text, sizeof text, "%02d%02d%02d.000", t.tm_hour, t.tm_min, t.tm_sec);
    return text;
}

std::string UtcDate(const std::tm& t) {
    char text[48];
    std::snprintf(text, sizeof text, "%02d%02d%02d", t.tm_mday, t.tm_mon + 1, t.tm_year % 100);
    return text;
}

std::string Fixed(double v, int decimals) {
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, v);
    return text;
}

bool ParseDouble(const std::string& s, double* out) {
    if (s.empty()) return false;
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(s.c_str(), &end);
    if (errno != 0 || end == s.c_str() || !std::isfinite(v)) return false;
    while (*end == ' ' || *end == '\t' || *end == '\r') ++end;
    if (*end != '\0') return false;
    *out = v;
    return true;
}

std::string Trim(std::string s) {
    const size_t b = s.find_first_not_of(" \t\r");
    const size_t e = s.find_last_not_of(" \t\r");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

const char* MessageName(int n) {
    static const char* const kNames[kMessages] = {"GGA", "GLL", "GSA", "GSV", "RMC", "VTG", "MSS", "", "ZDA", ""};
    return n >= 0 && n < kMessages ? kNames[n] : "";
}

bool MakeRawPty(int* master, int* slave, std::string* name) {
    termios raw{};
    ::cfmakeraw(&raw);
    char path[256] = {};
    if (::openpty(master, slave, path, &raw, nullptr) != 0) return false;
    for (int fd : {*master, *slave}) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    ::fcntl(*master, F_SETFL, ::fcntl(*master, F_GETFL) | O_NONBLOCK);
    *name = path;
    return true;
}

timespec FileStamp(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return {};
    return st.st_mtim;
}

bool SameStamp(const timespec& a, const timespec& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }

std::string ReadWord(const std::string& path) { return Trim(diviv::sim::ReadTextFile(path)); }

}  // namespace

// --- NMEA ---------------------------------------------------------------

unsigned NmeaChecksum(std::string_view body) {
    unsigned sum = 0;
    for (char c : body) sum ^= static_cast<unsigned char>(c);
    return sum;
}

std::string NmeaSentence(std::string_view body) {
    char tail[8];
    std::snprintf(tail, sizeof tail, "*%02X\r\n", NmeaChecksum(body) & 0xffu);
    std::string sentence(1, '$');
    sentence.append(body);
    sentence.append(tail);
    return sentence;
}

bool CheckNmea(std::string_view line, std::string* body) {
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
    const size_t star = line.rfind('*');
    if (line.empty() || line[0] != '$' || star == std::string_view::npos || star + 3 != line.size()) return false;
    const std::string hex(line.substr(star + 1));
    char* end = nullptr;
    const unsigned long given = std::strtoul(hex.c_str(), &end, 16);
    if (*end != '\0') return false;
    const std::string_view b = line.substr(1, star - 1);
    if (NmeaChecksum(b) != given) return false;
    *body = std::string(b);
    return true;
}

// --- the route ----------------------------------------------------------

bool ParseRoute(std::string_view csv, std::vector<RoutePoint>* route, std::string* error) {
    std::vector<RoutePoint> rows;
    std::istringstream in{std::string(csv)};
    int line_no = 0;
    bool first = true;
    for (std::string line; std::getline(in, line);) {
        ++line_no;
        line = Trim(line);
        if (line.empty() || line[0] == '#') continue;
        std::vector<std::string> cells;
        std::istringstream cs(line);
        for (std::string cell; std::getline(cs, cell, ',');) cells.push_back(Trim(cell));
        RoutePoint p;
        const bool numbers = cells.size() == 3 && ParseDouble(cells[0], &p.lat) && ParseDouble(cells[1], &p.lon) &&
                             ParseDouble(cells[2], &p.speed_kmh);
        if (!numbers && first) {  // a header
            first = false;
            continue;
        }
        first = false;
        if (!numbers) {
            *error = "line " + std::to_string(line_no) + ": expected latitude,longitude,km/h";
            return false;
        }
        if (std::fabs(p.lat) > 90 || std::fabs(p.lon) > 180 || p.speed_kmh < 0) {
            *error = "line " + std::to_string(line_no) + ": out of range";
            return false;
        }
        rows.push_back(p);
    }
    if (rows.empty()) {
        *error = "no route rows";
        return false;
    }
    *route = std::move(rows);
    return true;
}

bool LoadRoute(const std::string& path, std::vector<RoutePoint>* route, std::string* error) {
    std::ifstream in(path);
    if (!in) {
        *error = "cannot read " + path;
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    return ParseRoute(text.str(), route, error);
}

std::vector<RoutePoint> BuiltInLoop() {
    constexpr double kLat = 35.681236, kLon = 139.767125;  // Tokyo Station
    constexpr double kMetresPerDegree = 111320.0;
    constexpr int kSteps = 60;                        // one per second
    constexpr double kRadius = 600.0 / (2 * kPi);     // 600 m round at 10 m/s
    std::vector<RoutePoint> rows(3, RoutePoint{kLat, kLon, 0});
    for (int i = 1; i <= kSteps; ++i) {
        const double a = 2 * kPi * i / kSteps;
        RoutePoint p;
        // Starts at the standing point (south of the centre), anticlockwise.
        p.lat = kLat + kRadius * (1 - std::cos(a)) / kMetresPerDegree;
        p.lon = kLon + kRadius * std::sin(a) / (kMetresPerDegree * std::cos(Radians(kLat)));
        p.speed_kmh = i == kSteps ? 0 : 36;
        rows.push_back(p);
    }
    return rows;
}

double CourseDegrees(const RoutePoint& from, const RoutePoint& to) {
    const double p1 = Radians(from.lat), p2 = Radians(to.lat), dl = Radians(to.lon - from.lon);
    const double y = std::sin(dl) * std::cos(p2);
    const double x = std::cos(p1) * std::sin(p2) - std::sin(p1) * std::cos(p2) * std::cos(dl);
    double deg = std::atan2(y, x) * 180.0 / kPi;
    if (deg < 0) deg += 360.0;
    return deg >= 360.0 ? 0.0 : deg;
}

std::string RmcSentence(const RmcReport& r) {
    std::string body = "GPRMC,";
    body.append(UtcTime(r.utc)).append(",");
    if (r.fix) {
        body.append("A,").append(Coordinate(r.at.lat, true)).append(",").append(Coordinate(r.at.lon, false));
        body.append(",").append(Fixed(r.at.speed_kmh * kKnotsPerKmh, 2)).append(",");
        if (r.course) body.append(Fixed(*r.course, 2));
    } else {
        body.append("V,,,,,,");
    }
    body.append(",").append(UtcDate(r.utc)).append(",,");
    return NmeaSentence(body);
}

// --- the module ---------------------------------------------------------

GpsModule::GpsModule(std::string root, std::function<void(bool)> wakeup_line)
    : root_(std::move(root)), wakeup_line_(std::move(wakeup_line)), world_(root_ + diviv::sim::kWorldFile) {
    route_ = BuiltInLoop();
    DefaultRates();
}

GpsModule::~GpsModule() {
    // The links would point at terminals that no longer exist.
    for (const char* link : {kGpsLink, kUart3Link}) ::unlink((root_ + link).c_str());
    for (int fd : {gps_fd_, gps_slave_, uart3_fd_, uart3_slave_}) {
        if (fd >= 0) ::close(fd);
    }
}

bool GpsModule::Open(std::string* error) {
    std::string gps_name, uart3_name;
    // boardsim keeps the terminal side open too, so the recorder's closing
    // and reopening never hangs the line up.
    if (!MakeRawPty(&gps_fd_, &gps_slave_, &gps_name) || !MakeRawPty(&uart3_fd_, &uart3_slave_, &uart3_name)) {
        *error = "cannot open the serial lines' pseudo-terminals";
        return false;
    }
    for (const auto& [link, target] : {std::pair{kGpsLink, gps_name}, std::pair{kUart3Link, uart3_name}}) {
        const std::string path = root_ + link;
        ::unlink(path.c_str());
        if (::symlink(target.c_str(), path.c_str()) != 0) {
            *error = "cannot link " + path + " to " + target + ": " + std::strerror(errno);
            return false;
        }
    }
    // The lines' power-on state: power control low, no pulse pattern.
    const std::string leds = root_ + "/sys/class/leds/";
    diviv::sim::WriteTextFile(leds + "GPS_P_CNT/brightness", "0");
    diviv::sim::WriteTextFile(leds + "GPSONOFF/trigger", "none");
    diviv::sim::WriteTextFile(leds + "GPSONOFF/times", "0");
    pulse_stamp_ = FileStamp(leds + "GPSONOFF/times");
    diviv::sim::WriteTextFile(root_ + kUart3Log, "");
    if (wakeup_line_) wakeup_line_(false);
    return true;
}

int GpsModule::rate(int message) const { return message >= 0 && message < kMessages ? rates_[message] : 0; }

void GpsModule::DefaultRates() {
    for (int& r : rates_) r = 0;
    for (bool& q : query_) q = false;
    rates_[kGGA] = 1;
    rates_[kGSA] = 1;
    rates_[kGSV] = 5;
    rates_[kRMC] = 1;
}

void GpsModule::SetState(State s, double now, std::vector<TimelineEntry>* out, const char* why) {
    if (s == state_) return;
    const bool was_running = running();
    state_ = s;
    if (running() != was_running && wakeup_line_) wakeup_line_(running());
    out->push_back({now, std::string("GPS module ") + why});
}

void GpsModule::FollowLines(double now, std::vector<TimelineEntry>* out) {
    const std::string leds = root_ + "/sys/class/leds/";
    const int power = std::atoi(ReadWord(leds + "GPS_P_CNT/brightness").c_str()) != 0 ? 1 : 0;
    if (power != power_line_) {
        power_line_ = power;
        toggle_at_.reset();
        if (power) {
            DefaultRates();
            SetState(State::kReset, now, out, "held in reset (power control on)");
        } else {
            SetState(State::kHibernating, now, out, "hibernating (power control off)");
        }
    }
    const timespec stamp = FileStamp(leds + "GPSONOFF/times");
    if (!SameStamp(stamp, pulse_stamp_)) {
        pulse_stamp_ = stamp;
        const bool pattern = ReadWord(leds + "GPSONOFF/trigger") == "pattern";
        if (pattern && std::atoi(ReadWord(leds + "GPSONOFF/times").c_str()) > 0) {
            if (state_ == State::kReset) {
                out->push_back({now, "GPS module: ON/OFF pulse while held in reset"});
            } else if (!wakes_ && state_ == State::kHibernating) {
                out->push_back({now, "GPS module: ON/OFF pulse ignored (never wakes)"});
            } else {
                toggle_at_ = now + kPulseSeconds;
            }
        }
    }
    if (toggle_at_ && now >= *toggle_at_) {
        toggle_at_.reset();
        if (state_ == State::kRunning) {
            SetState(State::kHibernating, now, out, "hibernating (ON/OFF pulse)");
        } else if (state_ == State::kHibernating) {
            SetState(State::kRunning, now, out, "running (ON/OFF pulse)");
        }
    }
}

void GpsModule::FollowWorld(double now, std::vector<TimelineEntry>* out) {
    if (!world_.Refresh()) return;
    const std::string signal = world_.Text(diviv::sim::kWorldGpsSignal);
    signal_ = signal.empty() ? "fix" : signal;
    wakes_ = world_.Int(diviv::sim::kWorldGpsWakes, 1) != 0;
    const std::string path = world_.Text(diviv::sim::kWorldGpsRoute);
    if (path != route_path_) {
        route_path_ = path;
        row_ = 0;
        std::string why;
        if (path.empty()) {
            route_ = BuiltInLoop();
        } else if (!LoadRoute(path, &route_, &why)) {
            route_ = BuiltInLoop();
            out->push_back({now, "GPS module: route " + why + "; the built-in loop instead"});
        }
    }
}

void GpsModule::DrainUart3() {
    char buf[1024];
    ssize_t n;
    while ((n = ::read(uart3_fd_, buf, sizeof buf)) > 0) {
        const int fd = ::open((root_ + kUart3Log).c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) continue;
        (void)!::write(fd, buf, static_cast<size_t>(n));
        ::close(fd);
    }
}

void GpsModule::ReadInput(double now, std::vector<TimelineEntry>* out) {
    char buf[512];
    ssize_t n;
    while ((n = ::read(gps_fd_, buf, sizeof buf)) > 0) {
        // A module that does not run does not listen.
        if (running()) input_.append(buf, static_cast<size_t>(n));
    }
    size_t nl;
    while ((nl = input_.find('\n')) != std::string::npos) {
        const std::string line = input_.substr(0, nl);
        input_.erase(0, nl + 1);
        std::string body;
        if (CheckNmea(line, &body)) {
            Obey(body, now, out);
        } else if (!line.empty() && line != "\r") {
            out->push_back({now, "GPS module: ignored input '" + Trim(line) + "'"});
        }
    }
    if (input_.size() > 4096) input_.clear();  // never a line end: noise
    if (rates_changed_) {
        // One note for the messages that came together.
        rates_changed_ = false;
        std::string sends;
        for (int m = 0; m < kMessages; ++m) {
            if (rates_[m] == 0) continue;
            if (!sends.empty()) sends += ", ";
            sends.append(MessageName(m)).append("/").append(std::to_string(rates_[m])).append("s");
        }
        out->push_back({now, "GPS module sends: " + (sends.empty() ? std::string("nothing") : sends)});
    }
}

void GpsModule::Obey(const std::string& body, double now, std::vector<TimelineEntry>* out) {
    std::vector<std::string> f;
    std::istringstream in(body);
    for (std::string cell; std::getline(in, cell, ',');) f.push_back(cell);
    if (f.empty()) return;
    if (f[0] == "PSRF101") {
        // A reset of the navigation; the message settings stay.
        out->push_back({now, "GPS module: navigation initialisation (reset mode " + (f.size() > 8 ? f[8] : "?") + ")"});
        return;
    }
    if (f[0] == "PSRF103" && f.size() >= 5) {
        const int msg = std::atoi(f[1].c_str());
        const int mode = std::atoi(f[2].c_str());
        const int rate = std::atoi(f[3].c_str());
        if (msg < 0 || msg >= kMessages || MessageName(msg)[0] == '\0') return;
        if (mode == 1) {
            query_[msg] = true;
        } else if (mode == 0 && rate >= 0 && rate <= 255 && rates_[msg] != rate) {
            rates_[msg] = rate;
            rates_changed_ = true;
        }
    }
}

void GpsModule::SendDue(const timespec& utc, double now, std::vector<TimelineEntry>* out) {
    if (utc.tv_sec == last_second_) return;
    const bool first = last_second_ == 0;
    last_second_ = utc.tv_sec;
    if (first || !running()) return;  // sentences start at a whole second

    const RoutePoint here = route_[static_cast<size_t>(row_) % route_.size()];
    const RoutePoint next = route_[static_cast<size_t>(row_ + 1) % route_.size()];
    ++row_;
    if (signal_ == "silent") return;

    RmcReport r;
    gmtime_r(&utc.tv_sec, &r.utc);
    r.fix = signal_ != "nofix";
    r.at = here;
    if (here.speed_kmh > 0) r.course = CourseDegrees(here, next);
    const std::string t = UtcTime(r.utc);
    const std::string lat = r.fix ? Coordinate(here.lat, true) : ",";
    const std::string lon = r.fix ? Coordinate(here.lon, false) : ",";

    std::string text;
    auto due = [&](int m) {
        const bool d = query_[m] || (rates_[m] > 0 && utc.tv_sec % rates_[m] == 0);
        query_[m] = false;
        return d;
    };
    if (due(kGGA)) {
        text += NmeaSentence("GPGGA," + t + "," + lat + "," + lon + (r.fix ? ",1,08,1.0,35.0,M,39.5,M,,0000" : ",0,00,,,M,,M,,0000"));
    }
    if (due(kGLL)) text += NmeaSentence("GPGLL," + lat + "," + lon + "," + t + (r.fix ? ",A" : ",V"));
    if (due(kGSA)) {
        text += NmeaSentence(r.fix ? "GPGSA,A,3,05,07,09,12,14,17,22,24,,,,,1.8,1.0,1.5" : "GPGSA,A,1,,,,,,,,,,,,,,,");
    }
    if (due(kGSV)) text += NmeaSentence("GPGSV,1,1,04,05,45,120,42,07,30,200,40,09,60,045,44,12,15,300,35");
    if (due(kRMC)) text += RmcSentence(r);
    if (due(kVTG)) {
        const std::string course = r.fix && r.course ? Fixed(*r.course, 2) : std::string();
        const double kmh = r.fix ? here.speed_kmh : 0;
        text += NmeaSentence("GPVTG," + course + ",T,,M," + Fixed(kmh * kKnotsPerKmh, 2) + ",N," + Fixed(kmh, 2) + ",K");
    }
    if (due(kZDA)) {
        char zda[64];
        std::snprintf(zda, sizeof zda, "GPZDA,%s,%02d,%02d,%04d,00,00", t.c_str(), r.utc.tm_mday, r.utc.tm_mon + 1,
                      r.utc.tm_year + 1900);
        text += NmeaSentence(zda);
    }
    if (text.empty()) return;
    // A line nobody reads fills up: what does not fit is lost, as on a UART.
    const ssize_t n = ::write(gps_fd_, text.data(), text.size());
    if (n != static_cast<ssize_t>(text.size()) && !line_full_noted_) {
        line_full_noted_ = true;
        out->push_back({now, "GPS module: nobody reads the line, sentences lost"});
    } else if (n == static_cast<ssize_t>(text.size())) {
        line_full_noted_ = false;
    }
}

void GpsModule::Poll(double now, const timespec& utc, std::vector<TimelineEntry>* out) {
    FollowWorld(now, out);
    FollowLines(now, out);
    ReadInput(now, out);
    DrainUart3();
    SendDue(utc, now, out);
}

void GpsModule::Poll(double now, std::vector<TimelineEntry>* out) {
    timespec utc{};
    clock_gettime(CLOCK_REALTIME, &utc);
    Poll(now, utc, out);
}

}  // namespace boardsim

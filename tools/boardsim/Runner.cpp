#include "Runner.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

#include "BoardInputs.h"
#include "BoardWatch.h"
#include "CardService.h"
#include "GpsModule.h"
#include "Scenario.h"
#include "platform/Clock.h"
#include "sim/SimBoard.h"
#include "sim/SimMicrophoneWav.h"
#include "sim/World.h"

namespace boardsim {

namespace {

namespace fs = std::filesystem;

constexpr double kDefaultExpectSeconds = 5;
constexpr double kDefaultWaitSeconds = 30;
constexpr double kDefaultRunTimeout = 300;
constexpr double kAckSeconds = 5;
constexpr double kSendSeconds = 30;  // a host command waits this long for room in a full queue
constexpr double kScreenshotSeconds = 10;
constexpr double kRecHoldSeconds = 0.2;  // REC has no event: a press is a short hold

volatile sig_atomic_t g_interrupted = 0;
void OnInterrupt(int) { g_interrupted = 1; }

double Now() { return static_cast<double>(diviv::MonotonicUs()) / 1e6; }

std::string AbsolutePath(const std::string& p) {
    std::error_code ec;
    const fs::path abs = fs::absolute(p, ec);
    return ec ? p : abs.lexically_normal().string();
}

// A WAV file the simulated microphone can play.
bool MicrophoneFileReadable(const std::string& path, std::string* why) {
    std::vector<int16_t> samples;
    return diviv::sim::ReadMicrophoneWav(path, &samples, why);
}

// The recorder's state as the board sees it.
enum class BoardState {
    Running,
    SwitchedOff,  // the recorder wrote "2" and the board cut its power
    Exited,       // the program ended by itself
    Ended,        // the scenario, the time limit or an interrupt ended it
};

struct ConsoleLine {
    double t;
    std::string text;
};

struct PendingCheck {
    Step step;
    double deadline;
    size_t mark;  // console lines before this step
};

struct PendingAck {
    int expected;
    double deadline;
    std::string source;
};

struct PendingSend {
    Step step;
    double deadline;
};

struct PendingRelease {
    double due;
    std::vector<const KeyInfo*> keys;
};

struct PendingShot {
    std::string path;
    double deadline;
};

class Runner {
public:
    Runner(const RunOptions& o, std::vector<Step> steps)
        : opts_(o), steps_(std::move(steps)), inputs_(o.root), card_(o.root) {}
    ~Runner();
    int Execute();

private:
    bool Start(std::string* error);
    void Loop();
    void ReadConsole();
    void ReadControl();
    void Reap();
    void EndProgram(BoardState why, const char* note);
    void AdvanceScenario(double now);
    bool StepDue(const Step& s, double now) const;
    void Act(const Step& s, double now);
    bool TrySend(const Step& s, double now);
    bool Satisfied(const Step& s, size_t mark) const;
    std::string Actual(const Step& s) const;
    void CheckPending(double now);
    void Pass() { ++passed_; }
    void Fail(const Step& s, const std::string& why);
    void Note(double t, const std::string& what);
    bool Gone() const { return state_ != BoardState::Running; }
    bool Idle() const {
        return next_step_ >= steps_.size() && !waiting_ && checks_.empty() && acks_.empty() && sends_.empty();
    }
    std::string ProgramForExec() const;

    RunOptions opts_;
    std::vector<Step> steps_;
    BoardInputs inputs_;
    CardService card_;  // the card-watching service
    std::optional<BoardWatch> watch_;
    std::optional<GpsModule> gps_;
    pid_t pid_ = -1;
    int console_fd_ = -1;
    int control_fd_ = -1;
    double start_ = 0;
    BoardState state_ = BoardState::Running;
    int exit_status_ = -1;
    std::vector<ConsoleLine> lines_;
    std::string partial_;
    std::string control_partial_;
    std::vector<TimelineEntry> timeline_;
    size_t next_step_ = 0;
    double last_step_done_ = 0;
    size_t last_step_mark_ = 0;
    std::optional<PendingCheck> waiting_;
    std::vector<PendingCheck> checks_;
    std::vector<Step> at_end_;  // "expect noline": judged when the run is over
    std::deque<PendingAck> acks_;
    std::deque<PendingSend> sends_;  // host commands waiting for room, in order
    bool read_replies_ = true;       // false: the host leaves its reply queue alone
    int unchecked_ = 0;              // commands sent while replies were not read
    std::vector<PendingRelease> releases_;
    std::vector<PendingShot> shots_;
    int passed_ = 0;
    std::vector<std::string> failures_;
};

Runner::~Runner() {
    if (console_fd_ >= 0) ::close(console_fd_);
    if (control_fd_ >= 0) ::close(control_fd_);
}

void Runner::Note(double t, const std::string& what) {
    timeline_.push_back({t, what});
    std::printf("boardsim: [%8.3f] %s\n", t, what.c_str());
    std::fflush(stdout);
}

void Runner::Fail(const Step& s, const std::string& why) {
    const std::string where = s.line_no > 0 ? "line " + std::to_string(s.line_no) + ": " : "";
    failures_.push_back(where + s.source + " -- " + why);
    Note(Now() - start_, "FAILED " + where + s.source + " -- " + why);
}

std::string Runner::ProgramForExec() const {
    const std::string& p = opts_.program[0];
    // The program runs in the board root: a relative path must not change meaning.
    return p.find('/') != std::string::npos ? AbsolutePath(p) : p;
}

bool Runner::Start(std::string* error) {
    if (!inputs_.Open(error)) return false;
    card_.Load();
    ResetIndicators(opts_.root);
    watch_.emplace(opts_.root);
    gps_.emplace(opts_.root, [this](bool running) { inputs_.SetGpsWakeup(running); });
    if (!gps_->Open(error)) return false;

    const std::string fifo = opts_.root + kControlFifo;
    ::unlink(fifo.c_str());
    if (::mkfifo(fifo.c_str(), 0600) == 0) {
        control_fd_ = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    }

    // The console goes through a pseudo-terminal, so the program's standard
    // output is line buffered as on the board's serial console.
    termios raw{};
    ::cfmakeraw(&raw);
    int slave = -1;
    if (::openpty(&console_fd_, &slave, nullptr, &raw, nullptr) != 0) {
        *error = "cannot open a pseudo-terminal";
        return false;
    }
    char ids[4][16];
    std::snprintf(ids[0], sizeof ids[0], "%x", inputs_.down_qid());
    std::snprintf(ids[1], sizeof ids[1], "%x", inputs_.up_qid());
    std::snprintf(ids[2], sizeof ids[2], "%x", inputs_.down_qid());
    std::snprintf(ids[3], sizeof ids[3], "%x", inputs_.up_qid());
    const std::string program = ProgramForExec();
    std::vector<std::string> args = {program, ids[0], ids[1], ids[2], ids[3]};
    args.insert(args.end(), opts_.program.begin() + 1, opts_.program.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    std::fflush(stdout);
    pid_ = ::fork();
    if (pid_ < 0) {
        *error = "cannot start the program";
        return false;
    }
    if (pid_ == 0) {
        // boardsim runs no other thread, so the environment may be set here.
        ::setsid();  // its own process group: switching off ends all of it
        ::dup2(slave, STDOUT_FILENO);
        ::dup2(slave, STDERR_FILENO);
        const int null = ::open("/dev/null", O_RDONLY);
        if (null >= 0) ::dup2(null, STDIN_FILENO);
        ::setenv("DIVIV_ROOT", opts_.root.c_str(), 1);
        ::setenv("DIVIV_BOARD", "sim", 1);
        if (::chdir(opts_.root.c_str()) != 0) ::_exit(126);
        ::execvp(argv[0], argv.data());
        std::fprintf(stderr, "boardsim: cannot run %s: %s\n", argv[0], std::strerror(errno));
        ::_exit(127);
    }
    ::close(slave);
    ::fcntl(console_fd_, F_SETFL, ::fcntl(console_fd_, F_GETFL) | O_NONBLOCK);
    start_ = Now();
    Note(0, "board on: " + program + " " + ids[0] + " " + ids[1] + " " + ids[2] + " " + ids[3]);
    // Where a person at the console points diviv-host.
    std::printf("boardsim: host queues DOWN=0x%s UP=0x%s (diviv-host --queues 0x%s 0x%s status; "
                "boardsim takes the replies until the step host replies off)\n",
                ids[0], ids[1], ids[0], ids[1]);
    std::fflush(stdout);
    return true;
}

void Runner::ReadConsole() {
    if (console_fd_ < 0) return;
    char buf[4096];
    while (true) {
        const ssize_t n = ::read(console_fd_, buf, sizeof buf);
        if (n <= 0) {
            // EIO: every writer of the terminal is gone.
            if (n == 0 || errno == EIO) {
                ::close(console_fd_);
                console_fd_ = -1;
            }
            break;
        }
        partial_.append(buf, static_cast<size_t>(n));
    }
    size_t nl;
    while ((nl = partial_.find('\n')) != std::string::npos) {
        std::string text = partial_.substr(0, nl);
        partial_.erase(0, nl + 1);
        if (!text.empty() && text.back() == '\r') text.pop_back();
        if (!opts_.quiet) std::printf("%s\n", text.c_str());
        lines_.push_back({Now() - start_, std::move(text)});
    }
    if (console_fd_ < 0 && !partial_.empty()) {
        if (!opts_.quiet) std::printf("%s\n", partial_.c_str());
        lines_.push_back({Now() - start_, partial_});
        partial_.clear();
    }
    std::fflush(stdout);
}

void Runner::ReadControl() {
    if (control_fd_ < 0) return;
    char buf[1024];
    ssize_t n;
    while ((n = ::read(control_fd_, buf, sizeof buf)) > 0) control_partial_.append(buf, static_cast<size_t>(n));
    size_t nl;
    while ((nl = control_partial_.find('\n')) != std::string::npos) {
        const std::string line = control_partial_.substr(0, nl);
        control_partial_.erase(0, nl + 1);
        Step s;
        std::string why;
        if (!ParseStep(line, &s, &why) || !IsAction(s.verb)) {
            Note(Now() - start_, "ctl: ignored '" + line + "'" + (why.empty() ? "" : ": " + why));
            continue;
        }
        if (!Gone()) Act(s, Now() - start_);
    }
}

void Runner::Reap() {
    if (pid_ <= 0) return;
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid != pid_) return;
    // Anything it left running in its group goes too; the group id cannot be
    // reused while the unreaped program still holds it.
    ::kill(-pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    if (state_ != BoardState::Running) return;
    ReadConsole();
    // A "2" written just before the end still switches the board off.
    std::vector<TimelineEntry> seen;
    watch_->Settle(Now() - start_, &seen);
    for (const TimelineEntry& e : seen) Note(e.t, e.what);
    if (watch_->SwitchedOff()) {
        state_ = BoardState::SwitchedOff;
        Note(Now() - start_, "board switched off by the recorder");
        return;
    }
    state_ = BoardState::Exited;
    exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    Note(Now() - start_, "program ended by itself, exit status " + std::to_string(exit_status_));
}

void Runner::EndProgram(BoardState why, const char* note) {
    if (state_ != BoardState::Running) return;
    state_ = why;
    if (pid_ > 0) {
        // The power is cut: no chance to tidy up, as on the board.
        ::kill(-pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    const double t = Now() - start_;
    for (int i = 0; i < 20 && console_fd_ >= 0; ++i) ReadConsole();
    std::vector<TimelineEntry> seen;
    watch_->Settle(t, &seen);
    for (const TimelineEntry& e : seen) Note(e.t, e.what);
    Note(t, note);
}

bool Runner::StepDue(const Step& s, double now) const {
    const double due = s.relative ? last_step_done_ + s.time : s.time;
    return now >= due;
}

void Runner::Act(const Step& s, double now) {
    Note(now, "> " + s.source);
    switch (s.verb) {
        case Verb::Ignition: inputs_.SetIgnition(s.on); break;
        case Verb::Power: inputs_.SetSupplyPower(s.on); break;
        case Verb::PowerSwitch: inputs_.SetPowerSwitch(s.on); break;
        case Verb::Key:
            for (const KeyInfo* k : s.keys) {
                if (k->code != 0) {
                    inputs_.SendKeyEvent(*k, true);
                    inputs_.SendKeyEvent(*k, false);
                } else {
                    inputs_.HoldKey(*k, true);
                    releases_.push_back({now + kRecHoldSeconds, {k}});
                }
            }
            break;
        case Verb::Hold:
            for (const KeyInfo* k : s.keys) inputs_.HoldKey(*k, true);
            for (const KeyInfo* k : s.keys) inputs_.SendKeyEvent(*k, true);
            releases_.push_back({now + s.seconds, s.keys});
            break;
        case Verb::Host:
            // A full queue holds the command back, and every later one behind it.
            if (!sends_.empty() || !TrySend(s, now)) {
                if (sends_.empty()) Note(now, "command queue full: waiting for room");
                sends_.push_back({s, now + kSendSeconds});
            }
            break;
        case Verb::HostFill:
            Note(now, "command queue filled with " + std::to_string(inputs_.FillHostQueue(s.command)) +
                          " messages of type " + std::to_string(s.command));
            break;
        case Verb::HostReplies: read_replies_ = s.on; break;
        case Verb::Card: {
            std::string note;
            if (!card_.Apply(s, &note)) Note(now, note);
            break;
        }
        case Verb::Gps: {
            // The GPS module here follows the world file like the recorder's models.
            diviv::sim::WorldWriter world(opts_.root + diviv::sim::kWorldFile);
            std::string why;
            bool ok = true;
            if (s.text == "route") {
                const std::string path = s.file == "loop" ? std::string() : AbsolutePath(s.file);
                std::vector<RoutePoint> route;
                if (!path.empty() && !LoadRoute(path, &route, &why)) {
                    Note(now, "gps route not taken: " + why);
                    break;
                }
                ok = world.GpsRoute(path, &why);
            } else if (s.text == "nowake") {
                ok = world.GpsNeverWakes(&why);
            } else {
                ok = world.GpsSignal(s.text, &why);
            }
            if (!ok) Note(now, "GPS state not written: " + why);
            break;
        }
        case Verb::Camera: {
            // The camera model in the recorder takes the step from the world file.
            diviv::sim::WorldWriter world(opts_.root + diviv::sim::kWorldFile);
            std::string why;
            const bool ok = s.text == "drop"    ? world.CameraDrop(s.param, &why)
                            : s.text == "stall" ? world.CameraStall(std::llround(s.seconds * 1000), &why)
                                                : world.CameraEio(s.param, &why);
            if (!ok) Note(now, "camera fault not written: " + why);
            break;
        }
        case Verb::Microphone: {
            // The microphone model in the recorder takes the step from the world file.
            diviv::sim::WorldWriter world(opts_.root + diviv::sim::kWorldFile);
            std::string why;
            const bool ok = s.text == "eintr"     ? world.MicrophoneEintr(s.param, &why)
                            : s.text == "timeout" ? world.MicrophoneTimeout(s.param, &why)
                            : s.text == "stall"   ? world.MicrophoneStall(std::llround(s.seconds * 1000), &why)
                            : s.text == "tone"    ? world.MicrophoneFile("", &why)
                            : MicrophoneFileReadable(AbsolutePath(s.text), &why)
                                ? world.MicrophoneFile(AbsolutePath(s.text), &why)
                                : false;
            if (!ok) Note(now, "microphone step not written: " + why);
            break;
        }
        case Verb::Speed:
        case Verb::Engine:
        case Verb::Shock:
        case Verb::Accel:
        case Verb::Gsensor: {
            // The G-sensor and pulse counter models in the recorder read the
            // vehicle from the world file.
            diviv::sim::WorldWriter world(opts_.root + diviv::sim::kWorldFile);
            std::string why;
            bool ok = false;
            switch (s.verb) {
                case Verb::Speed: ok = world.VehicleSpeed(s.value, &why); break;
                case Verb::Engine: ok = world.EngineSpeed(s.value, &why); break;
                case Verb::Shock: ok = world.Shock(s.g[0], s.g[1], s.g[2], &why); break;
                case Verb::Accel: ok = world.Acceleration(s.g[0], s.g[1], s.g[2], &why); break;
                default: ok = world.GsensorPosition(s.param, &why); break;
            }
            if (!ok) Note(now, "vehicle state not written: " + why);
            break;
        }
        case Verb::Contact: inputs_.SetContact(s.param, s.on); break;
        case Verb::Screenshot: {
            const std::string path = AbsolutePath(s.text);
            std::error_code ec;
            fs::remove(path, ec);
            const std::string req = opts_.root + kScreenshotRequest;
            diviv::sim::WriteTextFile(req + ".new", path + "\n");
            fs::rename(req + ".new", req, ec);
            shots_.push_back({path, now + kScreenshotSeconds});
            break;
        }
        case Verb::End: EndProgram(BoardState::Ended, "program ended by the scenario"); break;
        default: break;
    }
}

// Sends a host command; false when the queue is full.
bool Runner::TrySend(const Step& s, double now) {
    const int sent = inputs_.SendHostCommand(s.command, s.param, s.text, s.text_param);
    if (sent == 0) return false;
    if (sent < 0) {
        Fail(s, "the command queue refused the message");
    } else if (!read_replies_) {
        ++unchecked_;
    } else if (s.line_no > 0) {
        acks_.push_back({s.command == 40 ? 41 : s.command, now + kAckSeconds, s.source});
    }
    return true;
}

bool Runner::Satisfied(const Step& s, size_t mark) const {
    auto seen_from = [&](size_t from) {
        for (size_t i = from; i < lines_.size(); ++i) {
            if (lines_[i].text.find(s.text) != std::string::npos) return true;
        }
        return false;
    };
    switch (s.verb) {
        case Verb::ExpectLine: return seen_from(0);
        case Verb::WaitLine: return seen_from(mark);
        case Verb::ExpectNoLine: return !seen_from(0);
        case Verb::ExpectLed:
        case Verb::WaitLed: return watch_->Leds() == s.led;
        case Verb::ExpectOff:
        case Verb::WaitOff: return state_ == BoardState::SwitchedOff;
        case Verb::ExpectOn: return state_ == BoardState::Running;
        case Verb::ExpectExit: return state_ == BoardState::Exited && exit_status_ == s.status;
        default: return true;
    }
}

// What the board showed instead, for a failure report.
std::string Runner::Actual(const Step& s) const {
    switch (s.verb) {
        case Verb::ExpectLed:
        case Verb::WaitLed: return "LED " + LedText(watch_->Leds());
        case Verb::ExpectNoLine: return "the line was printed";
        case Verb::ExpectLine:
        case Verb::WaitLine: return "no such line";
        default: break;
    }
    switch (state_) {
        case BoardState::Running: return "the board is still on";
        case BoardState::SwitchedOff: return "the board was switched off";
        case BoardState::Exited: return "the program ended with status " + std::to_string(exit_status_);
        case BoardState::Ended: return "the run was ended";
    }
    return "";
}

void Runner::AdvanceScenario(double now) {
    while (true) {
        if (waiting_) {
            if (Satisfied(waiting_->step, waiting_->mark)) {
                Pass();
            } else if (now >= waiting_->deadline || Gone()) {
                Fail(waiting_->step, Actual(waiting_->step));
            } else {
                return;
            }
            waiting_.reset();
            last_step_done_ = now;
            last_step_mark_ = lines_.size();
        }
        if (next_step_ >= steps_.size()) return;
        const Step& s = steps_[next_step_];
        // Once the board is gone time no longer matters: what is left is judged now.
        if (!Gone() && !StepDue(s, now)) return;
        ++next_step_;
        const size_t mark = last_step_mark_;
        if (s.verb == Verb::ExpectNoLine) {
            at_end_.push_back(s);
        } else if (IsCheck(s.verb)) {
            const bool wait = s.verb == Verb::WaitLine || s.verb == Verb::WaitLed || s.verb == Verb::WaitOff;
            const double limit = s.seconds > 0 ? s.seconds : (wait ? kDefaultWaitSeconds : kDefaultExpectSeconds);
            PendingCheck c{s, now + limit, mark};
            if (s.verb == Verb::ExpectOn) c.deadline = now;  // judged at once
            if (wait) {
                waiting_ = c;
                continue;
            }
            checks_.push_back(c);
        } else if (Gone()) {
            if (s.verb != Verb::End) Note(now, "skipped (board off): " + s.source);
        } else {
            Act(s, now);
        }
        last_step_done_ = now;
        last_step_mark_ = lines_.size();
    }
}

void Runner::CheckPending(double now) {
    for (size_t i = 0; i < checks_.size();) {
        const PendingCheck& c = checks_[i];
        if (Satisfied(c.step, c.mark)) {
            Pass();
        } else if (now >= c.deadline || Gone()) {
            Fail(c.step, Actual(c.step));
        } else {
            ++i;
            continue;
        }
        checks_.erase(checks_.begin() + static_cast<long>(i));
    }
    const bool held = !sends_.empty();
    while (!sends_.empty()) {
        const PendingSend p = sends_.front();
        if (Gone()) {
            Fail(p.step, "not sent: the command queue was full until the board went");
        } else if (!TrySend(p.step, now)) {
            if (now < p.deadline) break;
            Fail(p.step, "the command queue stayed full");
        }
        sends_.pop_front();
    }
    if (held && sends_.empty() && !Gone()) Note(now, "command queue took the held-back commands");
    // A host that stops reading still takes the replies it already waits for.
    int echo;
    while ((read_replies_ || !acks_.empty()) && inputs_.TakeAcknowledgement(&echo)) {
        const bool expected = !acks_.empty() && echo == acks_.front().expected;
        if (!expected && (acks_.empty() || unchecked_ > 0)) {
            // Replies of commands sent while replies were not read come first.
            if (unchecked_ > 0) --unchecked_;
            Note(now, "acknowledgement " + std::to_string(echo));
            continue;
        }
        const PendingAck a = acks_.front();
        acks_.pop_front();
        Step s;
        s.source = a.source;
        if (echo == a.expected) {
            Pass();
            Note(now, "acknowledged " + std::to_string(echo) + ": " + a.source);
        } else {
            Fail(s, "acknowledged with " + std::to_string(echo) + ", expected " + std::to_string(a.expected));
        }
    }
    while (!acks_.empty() && (now >= acks_.front().deadline || Gone())) {
        Step s;
        s.source = acks_.front().source;
        acks_.pop_front();
        Fail(s, "no acknowledgement");
    }
    for (size_t i = 0; i < releases_.size();) {
        if (now < releases_[i].due && !Gone()) {
            ++i;
            continue;
        }
        for (const KeyInfo* k : releases_[i].keys) {
            inputs_.HoldKey(*k, false);
            if (!Gone()) inputs_.SendKeyEvent(*k, false);
        }
        releases_.erase(releases_.begin() + static_cast<long>(i));
    }
    for (size_t i = 0; i < shots_.size();) {
        std::error_code ec;
        const bool served = !fs::exists(opts_.root + kScreenshotRequest, ec) && fs::exists(shots_[i].path, ec);
        if (served) {
            Note(now, "screenshot saved: " + shots_[i].path);
        } else if (now >= shots_[i].deadline || Gone()) {
            Note(now, "screenshot not taken: " + shots_[i].path);
        } else {
            ++i;
            continue;
        }
        shots_.erase(shots_.begin() + static_cast<long>(i));
    }
}

void Runner::Loop() {
    const bool scenario = !steps_.empty();
    const double timeout = opts_.timeout > 0 ? opts_.timeout : (scenario ? kDefaultRunTimeout : 0);
    while (true) {
        pollfd fds[4] = {{console_fd_, POLLIN, 0},
                         {control_fd_, POLLIN, 0},
                         {gps_->gps_fd(), POLLIN, 0},
                         {gps_->uart3_fd(), POLLIN, 0}};
        ::poll(fds, 4, 20);
        ReadConsole();
        ReadControl();
        Reap();
        double now = Now() - start_;
        std::vector<TimelineEntry> seen;
        watch_->Poll(now, &seen);
        if (!Gone()) gps_->Poll(now, &seen);
        for (const TimelineEntry& e : seen) Note(e.t, e.what);
        if (watch_->SwitchedOff()) EndProgram(BoardState::SwitchedOff, "board switched off by the recorder");
        if (g_interrupted) EndProgram(BoardState::Ended, "interrupted");
        if (timeout > 0 && now >= timeout && !Gone()) {
            EndProgram(BoardState::Ended, "time limit reached");
            if (scenario) {
                Step s;
                s.source = "run";
                Fail(s, "the scenario did not finish within " + std::to_string(static_cast<int>(timeout)) + " s");
            }
        }
        now = Now() - start_;
        AdvanceScenario(now);
        CheckPending(now);
        if (Gone() && Idle()) break;
        // The scenario is over and nothing waits for the board: the run ends.
        if (scenario && Idle() && releases_.empty() && shots_.empty()) {
            EndProgram(BoardState::Ended, "scenario complete, program ended");
            break;
        }
    }
    for (const Step& s : at_end_) {
        if (Satisfied(s, 0)) {
            Pass();
        } else {
            Fail(s, Actual(s));
        }
    }
}

int Runner::Execute() {
    std::string error;
    if (!Start(&error)) {
        std::fprintf(stderr, "boardsim: %s\n", error.c_str());
        inputs_.PowerDown();
        return 2;
    }
    Loop();
    inputs_.PowerDown();
    if (control_fd_ >= 0) {
        ::close(control_fd_);
        control_fd_ = -1;
        ::unlink((opts_.root + kControlFifo).c_str());
    }
    std::printf("boardsim: ---- board timeline ----\n");
    for (const TimelineEntry& e : timeline_) std::printf("boardsim: %9.3f  %s\n", e.t, e.what.c_str());
    const size_t failed = failures_.size();
    std::printf("boardsim: ---- %d check(s) passed, %zu failed ----\n", passed_, failed);
    for (const std::string& f : failures_) std::printf("boardsim: FAILED %s\n", f.c_str());
    std::fflush(stdout);
    return failed == 0 ? 0 : 1;
}

}  // namespace

int Run(const RunOptions& options) {
    RunOptions o = options;
    if (o.program.empty()) {
        std::fprintf(stderr, "boardsim: no program to run\n");
        return 2;
    }
    std::vector<Step> steps;
    std::string error;
    if (!ParseScenario(o.scenario_text, &steps, &error)) {
        std::fprintf(stderr, "boardsim: scenario %s\n", error.c_str());
        return 2;
    }
    std::error_code ec;
    if (!fs::exists(o.root + "/sim", ec)) {
        if (!diviv::sim::CreateSimBoard(o.root, {}, &error)) {
            std::fprintf(stderr, "boardsim: %s\n", error.c_str());
            return 2;
        }
    }
    o.root = fs::canonical(o.root, ec).string();
    struct sigaction sa{};
    sa.sa_handler = OnInterrupt;
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    Runner runner(o, std::move(steps));
    return runner.Execute();
}

int Control(const std::string& root, const std::vector<std::string>& words) {
    if (words.empty()) return 2;
    if (words[0] == "screenshot") {
        if (words.size() != 2) return 2;
        const std::string path = AbsolutePath(words[1]);
        std::error_code ec;
        fs::remove(path, ec);
        const std::string req = root + kScreenshotRequest;
        if (!diviv::sim::WriteTextFile(req + ".new", path + "\n") || (fs::rename(req + ".new", req, ec), ec)) {
            std::fprintf(stderr, "boardsim: cannot write %s\n", req.c_str());
            return 1;
        }
        for (double waited = 0; waited < kScreenshotSeconds; waited += 0.05) {
            if (!fs::exists(req, ec) && fs::exists(path, ec)) {
                std::printf("boardsim: screenshot saved in %s\n", path.c_str());
                return 0;
            }
            ::usleep(50000);
        }
        std::fprintf(stderr, "boardsim: the recorder did not take the screenshot\n");
        return 1;
    }
    // Re-quote the words so the board parses the same step.
    std::string line;
    for (const std::string& w : words) {
        if (!line.empty()) line += ' ';
        if (w.find_first_of(" \t\"#\\") == std::string::npos && !w.empty()) {
            line += w;
            continue;
        }
        line += '"';
        for (char c : w) {
            if (c == '"' || c == '\\') line += '\\';
            line += c;
        }
        line += '"';
    }
    Step s;
    std::string error;
    if (!ParseStep(line, &s, &error) || !IsAction(s.verb)) {
        std::fprintf(stderr, "boardsim: %s\n", error.empty() ? "checks belong in a scenario" : error.c_str());
        return 2;
    }
    const int fd = ::open((root + kControlFifo).c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        std::fprintf(stderr, "boardsim: no board is running in %s\n", root.c_str());
        return 1;
    }
    line += '\n';
    const bool ok = ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    ::close(fd);
    return ok ? 0 : 1;
}

}  // namespace boardsim

#include "Campaign.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <sstream>

#include "CardService.h"
#include "Runner.h"
#include "platform/Clock.h"
#include "sim/SimBoard.h"
#include "sim/SimCardSync.h"

namespace boardsim {

namespace {

namespace fs = std::filesystem;

constexpr int kReportEvery = 50;
constexpr double kRunTimeout = 60;
constexpr const char* kPassCode = "9274";
constexpr const char* kSetupIni = "[HOLMAX]\nREC_DURATION=5\n";
constexpr const char* kRunLog = "/sim/campaign-run.log";
constexpr const char* kScenarioFile = "/sim/campaign-scenario.txt";
constexpr size_t kIndexLineLength = 46;

bool Contains(std::string_view text, std::string_view what) { return text.find(what) != std::string_view::npos; }

// ---- the cuts ----

enum class CutKind { kStartUp, kDuringFile, kFileChange, kIndexWrite, kPowerLossUnmount, kCardPull, kCount };

const char* KindName(CutKind k) {
    switch (k) {
        case CutKind::kStartUp: return "start-up";
        case CutKind::kDuringFile: return "during a file";
        case CutKind::kFileChange: return "file change";
        case CutKind::kIndexWrite: return "index write";
        case CutKind::kPowerLossUnmount: return "power-loss unmount";
        case CutKind::kCardPull: return "card pull";
        default: return "?";
    }
}

// The drive every run starts with, as the demo drives.
constexpr const char* kDrive =
    "0 gps route loop\n"
    "0 speed 40\n"
    "0 engine 1800\n";
constexpr const char* kRecording = "0 wait line \"Start auto recoding\" within 40\n";

std::string Seconds(double s) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", s);
    return text;
}

struct Cut {
    CutKind kind;
    std::string scenario;
    std::string moment;  // for the log
};

// A cut of the given kind at a random moment. `rebuild_expected`: the index
// on the card is not valid, so this start rebuilds it.
Cut ChooseCut(CutKind kind, std::mt19937_64& rng, bool rebuild_expected) {
    auto uniform = [&](double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng); };
    auto coin = [&] { return (rng() & 1) != 0; };
    Cut c{kind, kDrive, ""};
    switch (kind) {
        case CutKind::kStartUp: {
            // Boot, card check, index load or rebuild, parameters, the start screen.
            const double t = uniform(0.05, 5.5);
            c.scenario += Seconds(t) + " end\n";
            c.moment = "at " + Seconds(t) + " s";
            break;
        }
        case CutKind::kDuringFile: {
            const double t = uniform(0.2, 7.5);
            c.scenario += kRecording;
            if (coin()) c.scenario += "+" + Seconds(uniform(0, t)) + " shock -1.2 0 0\n";  // an event file
            c.scenario += "+" + Seconds(t) + " end\n";
            c.moment = Seconds(t) + " s into recording";
            break;
        }
        case CutKind::kFileChange: {
            // From the read-ahead of the next picture through close, rename,
            // flush and index entry.
            const bool second = rng() % 4 == 0;
            const double t = uniform(0, 0.15);
            c.scenario += kRecording;
            if (coin()) c.scenario += "+1 shock -1.2 0 0\n";
            c.scenario += "+0 wait line \"AM : Amendment for Audio Data\" within 20\n";
            if (second) c.scenario += "+0 wait line \"AM : Amendment for Audio Data\" within 20\n";
            c.scenario += "+" + Seconds(t) + " end\n";
            c.moment = Seconds(t) + " s after the " + (second ? "second" : "first") + " file's end began";
            break;
        }
        case CutKind::kIndexWrite: {
            const double t = uniform(0, 0.03);
            const bool rebuild = rebuild_expected && coin();
            const char* line = rebuild ? "Make INDEX FILE start." : "AM : ASF Mux       Thread Start";
            c.scenario += std::string("0 wait line \"") + line + "\" within 40\n";
            c.scenario += "+" + Seconds(t) + " end\n";
            c.moment = Seconds(t) + " s after \"" + line + "\"";
            break;
        }
        case CutKind::kPowerLossUnmount: {
            const double lost = uniform(0.2, 7);
            const bool late = coin();
            const double t = late ? uniform(0, 0.03) : uniform(0, 0.6);
            const char* line = late ? "AM : SaveIndexFile() done" : "Detect PWR_DET=OFF";
            c.scenario += kRecording;
            c.scenario += "+" + Seconds(lost) + " power lost\n";
            c.scenario += std::string("+0 wait line \"") + line + "\" within 10\n";
            c.scenario += "+" + Seconds(t) + " end\n";
            c.moment = "power lost " + Seconds(lost) + " s into recording, cut " + Seconds(t) + " s after \"" +
                       line + "\"";
            break;
        }
        case CutKind::kCardPull: {
            // The card goes while a file is written; the supply a moment
            // later, while the recorder deals with the missing card.
            const double pull = uniform(0.2, 7);
            const double cut = uniform(0.2, 2.5);
            c.scenario += kRecording;
            c.scenario += "+" + Seconds(pull) + " card remove\n";
            c.scenario += "+" + Seconds(cut) + " end\n";
            c.moment = "card pulled " + Seconds(pull) + " s into recording, cut " + Seconds(cut) + " s later";
            break;
        }
        default: break;
    }
    return c;
}

CutKind DrawKind(std::mt19937_64& rng) {
    // Weights: start-up 2, during a file 2, file change 3, index write 1,
    // unmount 2, card pull 2.
    static constexpr CutKind kTable[] = {
        CutKind::kStartUp,    CutKind::kStartUp,    CutKind::kDuringFile,       CutKind::kDuringFile,
        CutKind::kFileChange, CutKind::kFileChange, CutKind::kFileChange,       CutKind::kIndexWrite,
        CutKind::kPowerLossUnmount, CutKind::kPowerLossUnmount, CutKind::kCardPull, CutKind::kCardPull};
    return kTable[rng() % std::size(kTable)];
}

// ---- the card ----

struct CardFile {
    std::string path;  // host path
    uint64_t inode = 0;
    uint64_t size = 0;
    timespec atime{}, mtime{};
};

void ListTree(const std::string& dir, std::vector<CardFile>* out) {
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) return;
    while (const dirent* e = ::readdir(d)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
        const std::string path = dir + "/" + e->d_name;
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            ListTree(path, out);
        } else if (S_ISREG(st.st_mode)) {
            out->push_back({path, static_cast<uint64_t>(st.st_ino), static_cast<uint64_t>(st.st_size), st.st_atim,
                            st.st_mtim});
        }
    }
    ::closedir(d);
}

// Every regular file on the card's partitions.
std::vector<CardFile> CardFiles(const std::string& root) {
    std::vector<CardFile> files;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(root + "/mnt", ec)) {
        if (e.path().filename().string().rfind("mmc", 0) == 0) ListTree(e.path().string(), &files);
    }
    return files;
}

// The recording with this number on the card, or "".
std::string FindRecording(const std::string& root, int number) {
    char sub[16];
    std::snprintf(sub, sizeof sub, "%02d", (number / 1000) % 100);
    const std::string dir = root + "/mnt/mmc0_p1/DATA/" + sub;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec)) {
        if (RecordingNumber(e.path().filename().string()) == number) return e.path().string();
    }
    return "";
}

// The card loses what was not flushed. Returns the number of files cut back.
int LoseUnflushed(const std::string& root, const std::map<uint64_t, uint64_t>& at_start, std::mt19937_64& rng) {
    const std::map<uint64_t, uint64_t> synced = diviv::sim::ReadSyncedSizes(root);
    int cut = 0;
    for (const CardFile& f : CardFiles(root)) {
        uint64_t durable = 0;
        if (auto s = synced.find(f.inode); s != synced.end()) {
            durable = s->second;
        } else if (auto a = at_start.find(f.inode); a != at_start.end()) {
            durable = a->second;
        }
        const uint64_t length = LengthAfterCut(durable, f.size, rng());
        if (length == f.size) continue;
        if (::truncate(f.path.c_str(), static_cast<off_t>(length)) != 0) continue;
        // The controller loses data, not the file's times.
        const timespec times[2] = {f.atime, f.mtime};
        ::utimensat(AT_FDCWD, f.path.c_str(), times, 0);
        ++cut;
    }
    ::unlink((root + diviv::sim::kSyncedLog).c_str());
    return cut;
}

// ---- outside the card ----

// Directories whose files may change from one start to the next (see
// WatchedOutsideCard); their trees are not walked.
bool Unwatched(const std::string& rel_dir) { return !WatchedOutsideCard(rel_dir + "/x") && rel_dir != "sim" && rel_dir != "mnt"; }

uint64_t Fnv1a(const std::string& path) {
    uint64_t h = 1469598103934665603ull;
    std::ifstream in(path, std::ios::binary);
    char buf[1 << 16];
    while (in.read(buf, sizeof buf) || in.gcount() > 0) {
        for (std::streamsize i = 0; i < in.gcount(); ++i) {
            h ^= static_cast<unsigned char>(buf[i]);
            h *= 1099511628211ull;
        }
    }
    return h;
}

std::map<std::string, uint64_t> HashOutsideCard(const std::string& root) {
    std::map<std::string, uint64_t> hashes;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec); it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        if (ec) break;
        const std::string rel = fs::relative(it->path(), root, ec).string();
        if (it->is_directory(ec) && !it->is_symlink(ec)) {
            if (Unwatched(rel)) it.disable_recursion_pending();
            continue;
        }
        if (!it->is_regular_file(ec) || it->is_symlink(ec) || !WatchedOutsideCard(rel)) continue;
        hashes[rel] = Fnv1a(it->path().string());
    }
    return hashes;
}

// ---- running the board ----

// Runs the board once through `scenario`; the whole output goes to the run log.
int RunBoard(const CampaignOptions& o, const std::string& scenario) {
    RunOptions r;
    r.root = o.root;
    r.scenario_text = scenario;
    r.program = o.program;
    r.timeout = kRunTimeout;
    diviv::sim::WriteTextFile(o.root + kScenarioFile, scenario);
    // The run before stays for a look after a fault: a cut's damage shows at the next start.
    std::rename((o.root + kRunLog).c_str(), (o.root + kRunLog + std::string(".before")).c_str());
    std::fflush(stdout);
    const pid_t pid = ::fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        const int fd = ::open((o.root + kRunLog).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd >= 0) {
            ::dup2(fd, STDOUT_FILENO);
            ::dup2(fd, STDERR_FILENO);
        }
        std::fflush(stdout);
        const int rc = Run(r);
        std::fflush(stdout);
        ::_exit(rc);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// True when `diviv-media check` finds the recording whole.
bool RecordingWhole(const std::string& media, const std::string& path) {
    std::fflush(stdout);
    const pid_t pid = ::fork();
    if (pid < 0) return false;
    if (pid == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        if (null >= 0) {
            ::dup2(null, STDOUT_FILENO);
            ::dup2(null, STDERR_FILENO);
        }
        ::execl(media.c_str(), media.c_str(), "check", path.c_str(), "--pass", kPassCode, nullptr);
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The board after a power-up: whatever the kernel held is new (mounts,
// supply and ignition on, no key held).
void PowerUpState(const std::string& root) {
    diviv::sim::WriteMounts(root, true, true);
    diviv::sim::WritePowerState(root, true, true);
    diviv::sim::WriteInputWord(root, diviv::sim::kInputIdle);
}

std::string DefaultMedia() {
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    return (self.parent_path().parent_path() / "diviv-media" / "diviv-media").string();
}

struct Finished {
    std::string path;  // where it was verified
    uint64_t inode = 0, size = 0;
    int64_t mtime_ns = 0;
};

int64_t MtimeNs(const struct stat& st) {
    return static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

// The campaign's counts. Each job keeps its own in a file under its board;
// the campaign adds them up.
struct Counts {
    static constexpr int kFields = 8;
    int cuts = 0, finished = 0, lost = 0, damaged = 0, rebuilds = 0, truncated = 0, switched_off = 0, faults = 0;
    int kinds[static_cast<int>(CutKind::kCount)] = {};

    std::string Text() const {
        std::ostringstream t;
        t << cuts;
        for (int v : {finished, lost, damaged, rebuilds, truncated, switched_off, faults}) t << ' ' << v;
        for (int v : kinds) t << ' ' << v;
        t << '\n';
        return t.str();
    }
    void Add(const std::string& text) {
        std::istringstream in(text);
        int v[kFields + static_cast<int>(CutKind::kCount)] = {};
        for (int& x : v) in >> x;
        if (!in) return;
        int* fields[kFields] = {&cuts, &finished, &lost, &damaged, &rebuilds, &truncated, &switched_off, &faults};
        for (int i = 0; i < kFields; ++i) *fields[i] += v[i];
        for (int k = 0; k < static_cast<int>(CutKind::kCount); ++k) kinds[k] += v[kFields + k];
    }
};

constexpr const char* kCountsFile = "/sim/campaign-counts";
constexpr const char* kFaultsFile = "/sim/campaign-faults";

double NowSeconds() { return static_cast<double>(diviv::MonotonicUs()) / 1e6; }

// One job: one board, cut again and again.
class Campaign {
public:
    explicit Campaign(const CampaignOptions& o) : o_(o), rng_(o.seed) {}
    // Runs this job's cuts; false when the board could not be prepared.
    bool Execute();

private:
    bool Prepare();
    void Cycle(int n);
    void CheckRestart(int n, const RunReport& r);
    void CheckCard(int n, const std::map<uint64_t, uint64_t>& at_start);
    void CheckIndexTaken(int n, const std::map<int, Finished>& before);
    void Fault(int n, const std::string& what);

    CampaignOptions o_;
    std::mt19937_64 rng_;
    std::map<std::string, uint64_t> outside_;
    std::map<int, Finished> finished_;  // number -> its state when last found whole
    IndexState index_ = IndexState::kValid;
    Counts c_;
};

void Campaign::Fault(int n, const std::string& what) {
    ++c_.faults;
    const std::string line = o_.root + " cut " + std::to_string(n) + ": " + what;
    std::printf("campaign: FAULT %s\n", line.c_str());
    std::fflush(stdout);
    diviv::sim::WriteTextFile(o_.root + kFaultsFile, diviv::sim::ReadTextFile(o_.root + kFaultsFile) + line + "\n");
}

bool Campaign::Prepare() {
    diviv::sim::SimBoardOptions b;
    b.card_mb = o_.card_mb;
    std::string error;
    if (!diviv::sim::CreateSimBoard(o_.root, b, &error) ||
        !diviv::sim::WriteTextFile(o_.root + "/mnt/mmc0_p1/setup.ini", kSetupIni)) {
        std::fprintf(stderr, "boardsim: %s\n", error.empty() ? "cannot write the setup file" : error.c_str());
        return false;
    }
    // The first start takes the setup file into the parameter record; it
    // ends with an orderly power loss, so the campaign starts from a card
    // with a valid index and the board's own files as they stay.
    RunBoard(o_, std::string(kDrive) + kRecording + "+2 power lost\n+0 wait off within 20\n");
    const std::string log = diviv::sim::ReadTextFile(o_.root + kRunLog);
    const RunReport r = ReadRunLog(log);
    if (!r.recording_started || !r.switched_off) {
        std::fprintf(stderr, "boardsim: the first start did not record and switch off; its run:\n%s", log.c_str());
        return false;
    }
    for (int number : r.finished) finished_[number] = {};
    ::unlink((o_.root + diviv::sim::kSyncedLog).c_str());
    outside_ = HashOutsideCard(o_.root);
    CheckCard(0, {});
    return c_.faults == 0;
}

// What the restart shows about the card the previous cut left.
void Campaign::CheckRestart(int n, const RunReport& r) {
    if (r.index_rebuilt) ++c_.rebuilds;
    if (index_ != IndexState::kValid && r.index_loaded) {
        Fault(n, "the recorder took an index that was not valid as it was");
    }
    if (index_ == IndexState::kValid && r.index_rebuilt) Fault(n, "the recorder rebuilt an index that was valid");
}

// The card as the next start finds it.
void Campaign::CheckCard(int n, const std::map<uint64_t, uint64_t>& at_start) {
    std::set<uint64_t> finished_inodes;
    std::vector<int> gone;
    for (auto& [number, f] : finished_) {
        const std::string path = FindRecording(o_.root, number);
        struct stat st {};
        if (path.empty() || ::stat(path.c_str(), &st) != 0) {
            ++c_.lost;
            Fault(n, "finished recording " + std::to_string(number) + " is not on the card");
            gone.push_back(number);
            continue;
        }
        const Finished now{path, static_cast<uint64_t>(st.st_ino), static_cast<uint64_t>(st.st_size), MtimeNs(st)};
        finished_inodes.insert(now.inode);
        if (now.path == f.path && now.inode == f.inode && now.size == f.size && now.mtime_ns == f.mtime_ns) continue;
        if (!f.path.empty()) Fault(n, "finished recording " + path + " changed after it was finished");
        if (!RecordingWhole(o_.media, path)) {
            ++c_.lost;
            Fault(n, "finished recording " + path + " is damaged (diviv-media check)");
            gone.push_back(number);
            continue;
        }
        f = now;
    }
    for (int number : gone) finished_.erase(number);
    // The other recordings written since the last start: the one the cut stopped.
    for (const CardFile& c : CardFiles(o_.root)) {
        if (finished_inodes.count(c.inode) != 0 || RecordingNumber(fs::path(c.path).filename().string()) < 0) continue;
        const auto a = at_start.find(c.inode);
        if (a != at_start.end() && a->second == c.size) continue;
        if (!RecordingWhole(o_.media, c.path)) ++c_.damaged;
    }
    const IndexContents index = ParseIndexFile(diviv::sim::ReadTextFile(o_.root + "/mnt/mmc0_p2/DATA/.INDEXFILE3"));
    index_ = index.state;
    if (index.state == IndexState::kValid) {
        // Loaded as it is at the next start: it must hold every finished recording.
        const std::set<std::string> names(index.names.begin(), index.names.end());
        for (const auto& [number, f] : finished_) {
            const std::string name = fs::path(f.path).filename().string();
            if (names.count(name) == 0) Fault(n, "finished recording " + name + " is missing from a valid index");
        }
    }
    const std::map<std::string, uint64_t> outside = HashOutsideCard(o_.root);
    for (const auto& [rel, hash] : outside) {
        const auto was = outside_.find(rel);
        if (was == outside_.end()) Fault(n, "a new file outside the card folders: " + rel);
        else if (was->second != hash) Fault(n, "changed outside the card folders: " + rel);
    }
    for (const auto& [rel, hash] : outside_) {
        if (outside.count(rel) == 0) Fault(n, "removed outside the card folders: " + rel);
    }
    outside_ = outside;
}

// The run loaded or rebuilt the index and saved it ("START") before its
// first file: it must hold every recording finished before the run.
void Campaign::CheckIndexTaken(int n, const std::map<int, Finished>& before) {
    const IndexContents index = ParseIndexFile(diviv::sim::ReadTextFile(o_.root + "/mnt/mmc0_p2/DATA/.INDEXFILE3"));
    const std::set<std::string> names(index.names.begin(), index.names.end());
    for (const auto& [number, f] : before) {
        const std::string name = fs::path(f.path).filename().string();
        if (!f.path.empty() && names.count(name) == 0) {
            Fault(n, "finished recording " + name + " is missing from the index the recorder started with");
        }
    }
}

void Campaign::Cycle(int n) {
    PowerUpState(o_.root);
    std::map<uint64_t, uint64_t> at_start;
    for (const CardFile& f : CardFiles(o_.root)) at_start[f.inode] = f.size;
    ::unlink((o_.root + diviv::sim::kSyncedLog).c_str());

    std::map<int, Finished> before = finished_;
    const CutKind kind = DrawKind(rng_);
    const Cut cut = ChooseCut(kind, rng_, index_ != IndexState::kValid);
    ++c_.kinds[static_cast<int>(kind)];
    RunBoard(o_, cut.scenario);
    ++c_.cuts;
    const std::string log = diviv::sim::ReadTextFile(o_.root + kRunLog);
    // The last run of each kind stays for a look: sim/campaign-last-<kind>.log.
    std::string kind_name = KindName(kind);
    std::replace(kind_name.begin(), kind_name.end(), ' ', '-');
    diviv::sim::WriteTextFile(o_.root + "/sim/campaign-last-" + kind_name + ".log", log);
    const RunReport r = ReadRunLog(log);
    const int faults_before = c_.faults;
    CheckRestart(n, r);
    if (r.switched_off) ++c_.switched_off;
    for (const char* report : {"ERROR: AddressSanitizer", "runtime error:", "WARNING: ThreadSanitizer"}) {
        if (Contains(log, report)) Fault(n, std::string("the recorder's run shows \"") + report + "\"");
    }
    if (kind != CutKind::kStartUp && kind != CutKind::kIndexWrite && !r.recording_started) {
        Fault(n, std::string("the recorder did not record after the restart (") + KindName(kind) + ")");
    }
    for (int number : r.finished) {
        finished_[number] = {};
        ++c_.finished;
    }
    if (r.card_pulled) {
        // The card is put back before the board starts again; the card-watching
        // service reports it at the next start.
        CardService service(o_.root);
        service.Load();
        std::string note;
        if (!service.InsertSd(true, &note)) Fault(n, "the pulled card could not be put back: " + note);
    }
    for (int number : r.deleted) {
        finished_.erase(number);
        before.erase(number);
    }
    c_.truncated += LoseUnflushed(o_.root, at_start, rng_);
    CheckCard(n, at_start);
    if (r.file_opened && index_ == IndexState::kOpen) CheckIndexTaken(n, before);
    if (c_.faults != faults_before) {
        std::printf("campaign: %s cut %d was %s, %s\n", o_.root.c_str(), n, KindName(kind), cut.moment.c_str());
        std::fflush(stdout);
        const std::string kept = o_.root + "/sim/campaign-failed-run-" + std::to_string(n);
        diviv::sim::WriteTextFile(kept + ".log", log);
        diviv::sim::WriteTextFile(kept + "-before.log", diviv::sim::ReadTextFile(o_.root + kRunLog + std::string(".before")));
    }
    diviv::sim::WriteTextFile(o_.root + kCountsFile, c_.Text());
}

bool Campaign::Execute() {
    if (!Prepare()) return false;
    diviv::sim::WriteTextFile(o_.root + kCountsFile, c_.Text());
    for (int n = 1; n <= o_.cuts; ++n) Cycle(n);
    return true;
}

Counts AddUp(const std::vector<std::string>& roots) {
    Counts total;
    for (const std::string& r : roots) total.Add(diviv::sim::ReadTextFile(r + kCountsFile));
    return total;
}

void PrintRunning(const Counts& c, double elapsed) {
    std::printf("campaign: after %d cuts: %d recordings finished, %d lost, %d damaged files, %d index rebuilds, "
                "%d faults (%.0f s)\n",
                c.cuts, c.finished, c.lost, c.damaged, c.rebuilds, c.faults, elapsed);
    std::fflush(stdout);
}

void PrintSummary(const Counts& c, const std::vector<std::string>& roots, const CampaignOptions& o) {
    std::printf("campaign: ---- %d cuts ----\n", c.cuts);
    for (int k = 0; k < static_cast<int>(CutKind::kCount); ++k) {
        std::printf("campaign:   %-20s %d\n", KindName(static_cast<CutKind>(k)), c.kinds[k]);
    }
    std::printf("campaign: recordings finished  %d\n", c.finished);
    std::printf("campaign: recordings lost      %d\n", c.lost);
    std::printf("campaign: damaged files        %d\n", c.damaged);
    std::printf("campaign: index rebuilds       %d\n", c.rebuilds);
    std::printf("campaign: files cut back       %d\n", c.truncated);
    std::printf("campaign: switched off itself  %d\n", c.switched_off);
    std::printf("campaign: faults               %d\n", c.faults);
    for (const std::string& r : roots) {
        std::istringstream in(diviv::sim::ReadTextFile(r + kFaultsFile));
        for (std::string line; std::getline(in, line);) std::printf("campaign: FAULT %s\n", line.c_str());
    }
    std::printf("campaign: seed %" PRIu64 " (replay: --seed %" PRIu64 " --jobs %d)\n", o.seed, o.seed, o.jobs);
    std::fflush(stdout);
}

}  // namespace

int RecordingNumber(std::string_view name) {
    if (name.size() != 13 || name.substr(9) != ".ASF") return -1;
    const bool normal = name.substr(0, 4) == "FILE";
    const bool event = name.substr(0, 3) == "SAV" && std::isxdigit(static_cast<unsigned char>(name[3])) &&
                       !std::islower(static_cast<unsigned char>(name[3]));
    if (!normal && !event) return -1;
    int number = 0;
    for (char c : name.substr(4, 5)) {
        if (c < '0' || c > '9') return -1;
        number = number * 10 + (c - '0');
    }
    return number;
}

RunReport ReadRunLog(std::string_view log) {
    RunReport r;
    int current = -1;
    bool deleting = false;
    int deleting_number = -1;
    size_t start = 0;
    while (start < log.size()) {
        size_t end = log.find('\n', start);
        if (end == std::string_view::npos) end = log.size();
        const std::string_view line = log.substr(start, end - start);
        start = end + 1;
        auto after = [&](std::string_view marker) -> std::string_view {
            const size_t at = line.find(marker);
            return at == std::string_view::npos ? std::string_view() : line.substr(at + marker.size());
        };
        auto number_of = [](std::string_view path) {
            const size_t slash = path.rfind('/');
            std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
            while (!name.empty() && (name.back() == ' ' || name.back() == '\r')) name.remove_suffix(1);
            return RecordingNumber(name);
        };
        if (std::string_view p = after("AM : Next File is "); !p.empty()) {
            current = number_of(p);
            r.file_opened = true;
        } else if (Contains(line, "AM : Recorded Total Frame Count") && current >= 0) {
            // A file closed after its card was pulled never reached the card whole.
            if (!r.card_pulled) r.finished.push_back(current);
            current = -1;
        } else if (Contains(line, "] > card remove")) {
            r.card_pulled = true;
        } else if (std::string_view p = after("Should remove Oldest File : "); !p.empty()) {
            deleting = true;
            deleting_number = number_of(p);
        } else if (deleting && Contains(line, "Delete OK")) {
            if (deleting_number >= 0) r.deleted.push_back(deleting_number);
            deleting = false;
        } else if (Contains(line, "INDEX FILE IS VALID !!")) {
            r.index_loaded = r.index_loaded || !r.index_rebuilt;
        } else if (Contains(line, "Make INDEX FILE start.")) {
            r.index_rebuilt = r.index_rebuilt || !r.index_loaded;
        } else if (Contains(line, "Start auto recoding")) {
            r.recording_started = true;
        } else if (Contains(line, "board switched off by the recorder")) {
            r.switched_off = true;
        }
    }
    return r;
}

IndexContents ParseIndexFile(std::string_view text) {
    IndexContents c;
    if (text.empty()) {
        c.state = IndexState::kBroken;
        return c;
    }
    size_t start = 0;
    while (start < text.size()) {
        const size_t nl = text.find('\n', start);
        const size_t length = nl == std::string_view::npos ? text.size() - start : nl + 1 - start;
        const std::string_view line = text.substr(start, length);
        start += length;
        if (line.size() == kIndexLineLength) {
            // The recorder reads the numbers as they come; a name it could
            // not use makes the file broken.
            std::string_view name = line.substr(0, 13);
            while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
            const bool usable = !name.empty() && name != "." && name != ".." &&
                                std::none_of(name.begin(), name.end(), [](char ch) {
                                    return ch == '/' || static_cast<unsigned char>(ch) < 0x20 || ch == 0x7f;
                                });
            if (!usable) break;
            c.names.emplace_back(name);
            continue;
        }
        c.state = line.rfind("END", 0) == 0     ? IndexState::kValid
                  : line.rfind("START", 0) == 0 ? IndexState::kOpen
                                                : IndexState::kBroken;
        if (c.state == IndexState::kBroken) c.names.clear();
        return c;
    }
    c.state = IndexState::kBroken;
    c.names.clear();
    return c;
}

bool WatchedOutsideCard(std::string_view rel) {
    for (std::string_view top : {"proc/", "sys/", "dev/", "var/"}) {
        if (rel.substr(0, top.size()) == top) return false;
    }
    if (rel.substr(0, 4) == "sim/") return rel == "sim/eeprom.bin";
    if (rel.substr(0, 4) == "mnt/") return !Contains(rel, "/DATA/");
    return true;
}

uint64_t LengthAfterCut(uint64_t durable, uint64_t size, uint64_t draw) {
    if (size <= durable) return size;
    return durable + draw % (size - durable + 1);
}

int RunCampaign(const CampaignOptions& options) {
    CampaignOptions o = options;
    if (o.program.empty() || o.cuts < 0 || o.jobs < 1) return 2;
    if (!o.seed_given) o.seed = std::random_device{}() ^ (static_cast<uint64_t>(diviv::MonotonicUs()) << 20);
    if (o.media.empty()) o.media = DefaultMedia();
    if (::access(o.media.c_str(), X_OK) != 0) {
        std::fprintf(stderr, "boardsim: no diviv-media at %s (--media PATH)\n", o.media.c_str());
        return 2;
    }
    std::error_code ec;
    if (fs::exists(o.root + "/sim", ec) || fs::exists(o.root + "/board-0", ec)) {
        std::fprintf(stderr, "boardsim: %s already holds a board; the campaign starts on a new one\n",
                     o.root.c_str());
        return 2;
    }
    fs::create_directories(o.root, ec);
    o.root = fs::canonical(o.root, ec).string();
    const double start = NowSeconds();
    std::printf("campaign: seed %" PRIu64 ", %d cuts in %d job(s) on %s\n", o.seed, o.cuts, o.jobs, o.root.c_str());
    std::fflush(stdout);

    // Job k runs its share of the cuts on its own board with the seed + k.
    std::vector<std::string> roots;
    std::vector<pid_t> jobs;
    for (int k = 0; k < o.jobs; ++k) {
        CampaignOptions j = o;
        j.root = o.jobs == 1 ? o.root : o.root + "/board-" + std::to_string(k);
        j.seed = o.seed + static_cast<uint64_t>(k);
        j.cuts = o.cuts / o.jobs + (k < o.cuts % o.jobs ? 1 : 0);
        roots.push_back(j.root);
        const pid_t pid = ::fork();
        if (pid == 0) {
            Campaign c(j);
            const bool ok = c.Execute();
            std::fflush(stdout);
            ::_exit(ok ? 0 : 2);
        }
        if (pid > 0) jobs.push_back(pid);
    }
    bool prepared = jobs.size() == roots.size();
    int reported = 0;
    while (!jobs.empty()) {
        ::usleep(500000);
        for (size_t i = 0; i < jobs.size();) {
            int status = 0;
            if (::waitpid(jobs[i], &status, WNOHANG) == jobs[i]) {
                if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) prepared = false;
                jobs.erase(jobs.begin() + static_cast<long>(i));
            } else {
                ++i;
            }
        }
        const Counts now = AddUp(roots);
        if (now.cuts / kReportEvery > reported) {
            reported = now.cuts / kReportEvery;
            PrintRunning(now, NowSeconds() - start);
        }
    }
    const Counts total = AddUp(roots);
    PrintSummary(total, roots, o);
    std::printf("campaign: %.0f s\n", NowSeconds() - start);
    if (!prepared) return 2;
    return total.faults == 0 && total.cuts == o.cuts ? 0 : 1;
}

}  // namespace boardsim

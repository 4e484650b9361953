// boardsim: creates and runs a simulated DiViv board.
//
//   boardsim init DIR [--card-mb N] [--no-card] [--read-only] [--acc-off] [--no-power]
//   boardsim run DIR [--scenario FILE] [--timeout SEC] [--quiet] -- PROGRAM ARGS...
//   boardsim ctl DIR VERB ARGS...
//   boardsim campaign DIR --cuts N [--seed S] [--card-mb M] [--jobs J] [--media PATH] -- PROGRAM ARGS...
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Campaign.h"
#include "Runner.h"
#include "sim/SimBoard.h"

namespace {

constexpr const char* kUsage =
    "usage: boardsim init DIR [--card-mb N] [--no-card] [--read-only] [--acc-off] [--no-power]\n"
    "       boardsim run DIR [--scenario FILE] [--timeout SEC] [--quiet] -- PROGRAM ARGS...\n"
    "       boardsim ctl DIR VERB ARGS...\n"
    "       boardsim campaign DIR --cuts N [--seed S] [--card-mb M] [--jobs J] [--media PATH] -- PROGRAM ARGS...\n"
    "  init   create a simulated board root in DIR\n"
    "  run    run PROGRAM on the board in DIR (created if missing) and play the scenario\n"
    "  ctl    send one scenario step to the board running in DIR: ignition on|off,\n"
    "         power lost|back, powersw on|off, key NAME, hold NAME SEC, host CMD [PARAM],\n"
    "         card insert|remove [readonly|microsd ...], card panic, card event ...,\n"
    "         camera ..., microphone ..., speed KMH, engine RPM,\n"
    "         shock FB LR UD, accel FB LR UD, contact N on|off, gps ..., end, or\n"
    "         screenshot OUT.png\n"
    "  campaign  start a new board in DIR again and again, cutting its supply at random\n"
    "         moments, and check the card after each cut (README: power-cut campaign)\n"
    "See tools/boardsim/README.md for the scenario format.\n";

// Usage on standard error after a mistake; exit status 2.
int Usage() {
    std::fputs(kUsage, stderr);
    return 2;
}

bool IsHelp(const std::string& a) { return a == "--help" || a == "-h"; }

int Help() {
    std::fputs(kUsage, stdout);
    return 0;
}

int UnknownOption(const std::string& a) {
    std::fprintf(stderr, "boardsim: unknown option %s\n", a.c_str());
    return Usage();
}

int Init(int argc, char** argv) {
    if (argc < 1) return Usage();
    const std::string dir = argv[0];
    diviv::sim::SimBoardOptions o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--card-mb" && i + 1 < argc) {
            o.card_mb = std::strtoull(argv[++i], nullptr, 10);
        } else if (a == "--no-card") {
            o.card_present = false;
        } else if (a == "--read-only") {
            o.card_writable = false;
        } else if (a == "--acc-off") {
            o.ignition = false;
        } else if (a == "--no-power") {
            o.supply_power = false;
        } else if (IsHelp(a)) {
            return Help();
        } else {
            return UnknownOption(a);
        }
    }
    std::string error;
    if (!diviv::sim::CreateSimBoard(dir, o, &error)) {
        std::fprintf(stderr, "boardsim: %s\n", error.c_str());
        return 1;
    }
    std::printf("boardsim: board root ready in %s (card %llu MB)\n", dir.c_str(),
                static_cast<unsigned long long>(o.card_mb));
    return 0;
}

// Reads "DIR OPTIONS... [--] PROGRAM ARGS..." from argv[1] on: `option(a, i)`
// takes one option (moving i past its value) and returns -1 to go on, or an
// exit status. Returns -1 with the program's words in `program`, or the exit
// status.
template <typename Option>
int ReadOptionsAndProgram(int argc, char** argv, Option option, std::vector<std::string>* program) {
    int i = 1;
    for (; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--") {
            ++i;
            break;
        }
        if (a.rfind("--", 0) != 0) break;  // the program starts here
        if (IsHelp(a)) return Help();
        const int r = option(a, i);
        if (r >= 0) return r;
    }
    for (; i < argc; ++i) program->emplace_back(argv[i]);
    return program->empty() ? Usage() : -1;
}

int RunCommand(int argc, char** argv) {
    if (argc < 1) return Usage();
    boardsim::RunOptions o;
    o.root = argv[0];
    const int r = ReadOptionsAndProgram(
        argc, argv,
        [&](const std::string& a, int& i) {
            if (a == "--scenario" && i + 1 < argc) {
                const std::string path = argv[++i];
                std::FILE* f = std::fopen(path.c_str(), "r");
                if (f == nullptr) {
                    std::fprintf(stderr, "boardsim: cannot read %s\n", path.c_str());
                    return 2;
                }
                char buf[4096];
                size_t n;
                while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) o.scenario_text.append(buf, n);
                std::fclose(f);
            } else if (a == "--timeout" && i + 1 < argc) {
                o.timeout = std::strtod(argv[++i], nullptr);
            } else if (a == "--quiet") {
                o.quiet = true;
            } else {
                return UnknownOption(a);
            }
            return -1;
        },
        &o.program);
    return r >= 0 ? r : boardsim::Run(o);
}

int CampaignCommand(int argc, char** argv) {
    if (argc < 1) return Usage();
    boardsim::CampaignOptions o;
    o.root = argv[0];
    const int r = ReadOptionsAndProgram(
        argc, argv,
        [&](const std::string& a, int& i) {
            if (i + 1 >= argc) return UnknownOption(a);
            const char* value = argv[++i];
            if (a == "--cuts") {
                o.cuts = std::atoi(value);
            } else if (a == "--seed") {
                o.seed = std::strtoull(value, nullptr, 10);
                o.seed_given = true;
            } else if (a == "--jobs") {
                o.jobs = std::atoi(value);
            } else if (a == "--card-mb") {
                o.card_mb = std::strtoull(value, nullptr, 10);
            } else if (a == "--media") {
                o.media = value;
            } else {
                return UnknownOption(a);
            }
            return -1;
        },
        &o.program);
    if (r >= 0) return r;
    if (o.cuts < 0 || o.jobs < 1) return Usage();
    return boardsim::RunCampaign(o);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage();
    const std::string verb = argv[1];
    if (IsHelp(verb)) return Help();
    if (verb[0] == '-') return UnknownOption(verb);
    if (verb != "init" && verb != "run" && verb != "ctl" && verb != "campaign") {
        std::fprintf(stderr, "boardsim: unknown command %s\n", verb.c_str());
        return Usage();
    }
    // The board folder comes first; an option in its place is help or a
    // mistake, never a folder name.
    if (argc >= 3 && argv[2][0] == '-') return IsHelp(argv[2]) ? Help() : UnknownOption(argv[2]);
    if (verb == "init") return Init(argc - 2, argv + 2);
    if (verb == "run") return RunCommand(argc - 2, argv + 2);
    if (verb == "campaign") return CampaignCommand(argc - 2, argv + 2);
    if (verb == "ctl" && argc >= 4) {
        std::vector<std::string> words(argv + 3, argv + argc);
        const int rc = boardsim::Control(argv[2], words);
        return rc == 2 ? Usage() : rc;
    }
    return Usage();
}

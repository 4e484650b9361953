// boardsim: creates and runs a simulated DiViv board.
//
//   boardsim init DIR [--card-mb N] [--no-card] [--read-only] [--acc-off] [--no-power]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sim/SimBoard.h"

namespace {

int Usage() {
    std::fprintf(stderr,
                 "usage: boardsim init DIR [--card-mb N] [--no-card] [--read-only] [--acc-off] [--no-power]\n"
                 "  init   create a simulated board root in DIR\n");
    return 2;
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
        } else {
            std::fprintf(stderr, "boardsim: unknown option %s\n", a.c_str());
            return Usage();
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

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage();
    const std::string verb = argv[1];
    if (verb == "init") return Init(argc - 2, argv + 2);
    return Usage();
}

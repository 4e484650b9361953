// diviv-host: the supervising process's side of the recorder's host queues,
// for a person at the board's console.
//
//   diviv-host [--timeout SEC] --queues DOWN UP CMD [PARAM|TEXT]
//   diviv-host --queues DOWN UP watch [--count N]
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "HostCommands.h"
#include "HostLink.h"

namespace {

constexpr double kDefaultTimeout = 5;  // seconds; the recorder answers within a main-loop pass

constexpr const char* kUsage =
    "usage: diviv-host [--timeout SEC] --queues DOWN UP CMD [PARAM|TEXT]\n"
    "       diviv-host --queues DOWN UP watch [--count N]\n"
    "Sends one command to the recorder on queue DOWN and waits for its\n"
    "acknowledgement on queue UP (default time-out 5 s), or prints the\n"
    "recorder's replies as they come (watch). The recorder prints its reports\n"
    "on its own console; the reply is an acknowledgement, sent before the\n"
    "command runs. A queue id of plain digits is decimal (as ipcs shows it);\n"
    "0x... or an id with hex letters is hexadecimal (as the recorder's command\n"
    "line and boardsim write them).\n"
    "Exit status: 0 acknowledged, 1 no acknowledgement in time, 2 usage,\n"
    "3 a queue that cannot be used.\n"
    "CMD is a number (PARAM an integer, or a TEXT for 72-75, 115, 116)\n"
    "or one of these names:\n";

int Usage(const char* why) {
    if (why != nullptr) std::fprintf(stderr, "diviv-host: %s\n", why);
    std::fputs("usage: diviv-host [--timeout SEC] --queues DOWN UP CMD [PARAM|TEXT]\n"
               "       diviv-host --queues DOWN UP watch [--count N]\n"
               "       diviv-host --help\n",
               stderr);
    return diviv_host::kExitUsage;
}

int Help() {
    std::fputs(kUsage, stdout);
    std::fputs(diviv_host::NamesHelp().c_str(), stdout);
    return diviv_host::kExitOk;
}

// A queue id of digits only is read as decimal; the recorder's command line
// writes its ids in hexadecimal without 0x, so a person may have copied one.
void HintIfDecimal(int status, const std::vector<std::string>& ids) {
    if (status != diviv_host::kExitQueueError) return;
    for (const std::string& id : ids)
        if (id.find_first_not_of("0123456789") == std::string::npos)
            std::fprintf(stderr, "diviv-host: %s was read as decimal; write 0x%s for the hexadecimal id\n",
                         id.c_str(), id.c_str());
}

bool ParsePositive(const char* text, double* value) {
    char* end = nullptr;
    const double v = std::strtod(text, &end);
    if (end == text || *end != '\0' || !(v > 0)) return false;
    *value = v;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    diviv_host::Queues q;
    bool have_queues = false;
    std::vector<std::string> ids;
    double timeout = kDefaultTimeout;
    double count = 0;
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") return Help();
        if (a == "--queues") {
            if (i + 2 >= argc) return Usage("--queues needs DOWN and UP");
            if (!diviv_host::ParseQueueId(argv[i + 1], &q.down) || !diviv_host::ParseQueueId(argv[i + 2], &q.up))
                return Usage("a queue id is a decimal or hexadecimal number");
            have_queues = true;
            ids = {argv[i + 1], argv[i + 2]};
            i += 2;
        } else if (a == "--timeout") {
            if (i + 1 >= argc || !ParsePositive(argv[++i], &timeout)) return Usage("--timeout needs seconds");
        } else if (a == "--count") {
            if (i + 1 >= argc || !ParsePositive(argv[++i], &count)) return Usage("--count needs a number");
        } else if (a.size() > 1 && a[0] == '-' && !(a[1] >= '0' && a[1] <= '9')) {
            // A negative number is a parameter; anything else is an option we do not know.
            return Usage(("unknown option " + a).c_str());
        } else {
            words.push_back(a);
        }
    }
    if (!have_queues) return Usage("--queues DOWN UP is needed");
    if (words.empty()) return Usage("no command given");

    if (words[0] == "watch") {
        if (words.size() != 1) return Usage("watch takes no parameter");
        const int status = diviv_host::Watch(q.up, static_cast<int>(count), stdout, stderr);
        HintIfDecimal(status, {ids[1]});
        return status;
    }
    if (count > 0) return Usage("--count is for watch");

    diviv_host::Request request;
    std::string error;
    if (!diviv_host::ParseRequest(words, &request, &error)) return Usage(error.c_str());
    const int status = diviv_host::SendAndAwait(q, request, timeout, stdout, stderr);
    HintIfDecimal(status, ids);
    return status;
}

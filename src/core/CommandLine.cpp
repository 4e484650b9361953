#include "core/CommandLine.h"

#include <cctype>
#include <cstring>

#include "diviv_version.h"

namespace diviv {

namespace {

constexpr const char* kUsage =
    "usage: DiViv [DRM_DOWN_QID [DRM_UP_QID [DRA_DOWN_QID [DRA_UP_QID [PARAMS]]]]]\n"
    "       DiViv --help | --version\n"
    "The drive recorder. Every argument is a hexadecimal number:\n"
    "  DRM_DOWN_QID  System V queue id on which host commands arrive\n"
    "  DRM_UP_QID    queue id for the replies to host commands\n"
    "  DRA_DOWN_QID  queue id handed to recording and transcode control\n"
    "  DRA_UP_QID    queue id handed to recording and transcode control\n"
    "  PARAMS        1: parameters from the card's setup file, else from the EEPROM\n"
    "Without arguments no host queue is read.\n"
    "DIVIV_BOARD=sim runs the recorder on the simulated board whose root is\n"
    "DIVIV_ROOT; otherwise it runs on the board it is started on.\n";

bool Is(const char* arg, const char* name) { return std::strcmp(arg, name) == 0; }

}  // namespace

bool IsHexNumber(const char* text) {
    const char* p = text;
    if (*p == '+' || *p == '-') ++p;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) p += 2;
    if (*p == '\0') return false;
    for (; *p != '\0'; ++p) {
        if (!std::isxdigit(static_cast<unsigned char>(*p))) return false;
    }
    return true;
}

std::optional<int> CheckCommandLine(int argc, const char* const* argv, std::FILE* out, std::FILE* err) {
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (IsHexNumber(arg)) continue;
        if (Is(arg, "--help") || Is(arg, "-h")) {
            std::fputs(kUsage, out);
            return 0;
        }
        if (Is(arg, "--version")) {
            std::fprintf(out, "DiViv %s\n", DIVIV_VERSION_TEXT);
            return 0;
        }
        std::fprintf(err,
                     "DiViv: argument %d \"%s\" is not a hexadecimal number; the arguments are queue ids "
                     "(DiViv --help)\n",
                     i, arg);
        return 2;
    }
    return std::nullopt;
}

}  // namespace diviv

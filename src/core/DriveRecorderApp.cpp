#include "core/DriveRecorderApp.h"

#include <sys/utsname.h>

#include <cstdio>
#include <cstring>

std::string AppVersionText() {
    char text[32];
    std::snprintf(text, sizeof text, "%d.%d.%d.%d", (nCurrentAppVersion >> 24) & 0xff,
                  (nCurrentAppVersion >> 16) & 0xff, (nCurrentAppVersion >> 8) & 0xff,
                  nCurrentAppVersion & 0xff);
    return text;
}

void GetSystemLines(std::string* system_line, std::string* release_line) {
    utsname u{};
    uname(&u);
    char line[512];
    std::snprintf(line, sizeof line, "  >>> %s %s", u.sysname, u.release);
    *system_line = line;
    const char* version = std::strlen(u.version) > 11 ? u.version + 11 : "";
    std::snprintf(line, sizeof line, "     (%s)", version);
    *release_line = line;
}

int DriveRecorderMain(int /*argc*/, char** /*argv*/) {
    std::printf("Let's hold out today. ENJOY DRIVE ＼(^o^)／ RECORDER !\n");
    std::string system_line, release_line;
    GetSystemLines(&system_line, &release_line);
    std::printf("DiViv : System :: %s\n", system_line.c_str());
    std::printf("DiViv : Release:: %s\n", release_line.c_str());
    std::printf("DiViv : Current Application Version is %s\n", AppVersionText().c_str());
    std::fflush(stdout);
    return 0;
}

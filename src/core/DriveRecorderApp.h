// The recorder's main program: start-up, main loop and shutdown.
#pragma once

#include <string>

#include "diviv_version.h"  // nCurrentAppVersion, from the build

// "3.1.1.3"
std::string AppVersionText();

// The two system lines of the start screen, from uname:
// "  >>> <sysname> <release>" and "     (<version from its 12th character>)".
void GetSystemLines(std::string* system_line, std::string* release_line);

int DriveRecorderMain(int argc, char** argv);

// Board root: every fixed absolute path of the recorder goes through here.
//
// On the real board DIVIV_ROOT is unset and paths are used as they are; on a
// simulated board DIVIV_ROOT names a directory tree that looks like the board
// ("/proc/driver/power" becomes "$DIVIV_ROOT/proc/driver/power").
#pragma once

#include <string>
#include <string_view>

namespace diviv {

// The board root ("" on the real board), read from DIVIV_ROOT on each call so
// tests can switch boards.
std::string BoardRoot();

}  // namespace diviv

// "/proc/driver/power" -> "<root>/proc/driver/power". Relative paths
// ("./formatsd.sh") are returned unchanged: they stay relative to the working
// directory, which the simulator sets.
std::string BoardPath(std::string_view path);

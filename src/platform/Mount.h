// Unmounting the card and flushing the file systems.
//
// On the board these are umount2 and sync. On the simulated board the card
// folders are plain directories: unmounting removes that mount point's line
// from the board's mounts file (so the next card check finds no card) and
// notes "umount <path>" in the simulator's event log; sync notes "sync".
#pragma once

#include <string_view>

namespace diviv {

// The simulator's event log, under the board root: one line per action.
inline constexpr std::string_view kSimEventsLog = "/sim/events.log";

// Unmounts the file system at `path` (a board path such as "/mnt/mmc0_p1").
// Returns 0, or -1 if nothing is mounted there or the unmount failed.
int UnmountCard(std::string_view path);

// Flushes every file system to its device.
void SyncDisks();

}  // namespace diviv

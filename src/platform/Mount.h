// Unmounting the card and flushing the file systems, on the installed board
// (platform/Board.h): umount2 and sync on the board; the simulated board
// edits its mounts file and notes what it did.
#pragma once

#include <string_view>

namespace diviv {

// Unmounts the file system at `path` (a board path such as "/mnt/mmc0_p1").
// Returns 0, or -1 if nothing is mounted there or the unmount failed.
int UnmountCard(std::string_view path);

// Flushes every file system to its device.
void SyncDisks();

// Flushes one open file to the card. Returns 0, or -1 if it failed.
int SyncCardFile(int fd);

// Flushes a closed file (a host path) and the folder holding its name to the
// card, so both its data and its name survive a power cut. Returns 0, or -1
// if either could not be opened or flushed.
int SyncCardFileAt(const char* path);

}  // namespace diviv

// The simulated card's capacity.
//
// On the simulated board a card partition mounted at "/mnt/mmc<k>_p<n>" is a
// plain folder of the board root. Its size is the length of partition n in
// the MBR of the card image "/dev/mmcblk<k>"; what it holds is counted from
// the folder: every regular file takes its apparent size (so sparse files
// count in full) rounded up to whole clusters, every folder one cluster, the
// way a FAT file system allocates. Free space is size minus what is held, so
// "card full" and loop recording happen with a card of a few hundred MB on
// any disk.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/CardCapacity.h"

namespace diviv::sim {

// Cluster size of the simulated FAT file systems.
inline constexpr uint64_t kSimClusterBytes = 4096;

// Bytes a folder tree holds on the simulated card (see above); `dir` is a
// path to open as it is. Symbolic links are not followed.
uint64_t SimBytesHeld(const std::string& dir);

// Capacity of the simulated partition that `board_path` lies on (a board
// path, with or without the board root in front). Returns 0, or -1 with
// errno: ENOENT when the path is no card mount point, the card image or the
// partition entry is missing, or the folder does not exist.
int SimCardCapacity(std::string_view board_path, CardCapacity* out);

// True when a board path (with or without the root in front) lies on a
// simulated card mount point ("/mnt/mmc0_p1/DATA").
bool IsCardMountPoint(std::string_view path);

}  // namespace diviv::sim

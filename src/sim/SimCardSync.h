// What the simulated card has made durable.
//
// A card's controller keeps written data in its own buffers until the file
// system flushes it; a power cut loses what was not flushed. The simulated
// board cannot lose it by itself, so every flush the recorder asks for is
// noted: each sync notes the size of every file on the card's partitions,
// each flush of one file notes that file. After a cut a test or boardsim's
// power-cut campaign cuts every file written since back to a length between
// its noted size and its size at the cut.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace diviv::sim {

// The sync log under the board root: one line per file and flush,
// "synced SIZE INODE PATH" (PATH a board path such as
// "/mnt/mmc0_p1/DATA/00/FILE00001.ASF").
inline constexpr const char* kSyncedLog = "/sim/synced.log";

// Notes every regular file below the card mount points ("/mnt/mmc*").
void NoteCardSynced();

// Notes one open file if it is a regular file on a card mount point;
// anything else (a folder, a host file) is left out.
void NoteFileSynced(int fd);

// The size each file (by inode) had at its last noted flush, from the sync
// log of the board root `root`. Empty when nothing was noted.
std::map<uint64_t, uint64_t> ReadSyncedSizes(const std::string& root);

}  // namespace diviv::sim

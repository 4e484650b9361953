// Recording folders and file names on partition 1 of the card: where a
// recording goes, its name, the next number, the space it needs, deleting
// the oldest recordings when the card is full (loop recording), event-file
// names, and preparing folders and index when a card is inserted.
//
// Layout: "<card>/DATA/00" .. "<card>/DATA/99"; a recording numbered n is
// "FILE%05d.ASF" in the folder named by the first two of its five digits.
// An event recording replaces "FILE" with "SAV" and one upper-case
// hexadecimal digit: 1 acceleration, 2 braking, 4 steering, 8 contact input.
//
// Paths handed in are board paths ("/mnt/mmc0_p1"), with or without the
// board root in front; paths handed out are ready to open.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "core/DR_shared.h"
#include "storage/indexf.h"

// One row of the file table the file list screens build from the index.
struct SDC_Files_t {
    int32_t index;        // position in the list; -1 marks an empty row
    int32_t size;         // KiB
    time_t dt;            // modification time
    char file_name[256];  // the 13-character file name
};

inline constexpr int kFileTableRows = 10000;
inline constexpr size_t kSDPathMax = 256;  // MakeSDfilePath's default buffer size
inline constexpr int kMaxRecordingNumber = 99999;

// Space units of SDC_Info_t: bytes per unit.
inline constexpr int64_t kSDSpaceUnit = 1024000;

// Writes "<path>/DATA/<two digits>/<fname>" into buf (bufsize bytes) and
// creates the two-digit folder when it is missing (mode 0700). A folder that
// cannot be created or entered is reported and logged with a reboot request;
// the path is written all the same. The working directory is not touched.
void MakeSDfilePath(char* buf, const char* path, const char* fname, size_t bufsize = kSDPathMax);

// The recording number in a file name (characters 5 to 9 of a 13-character
// name), or -1 for a name of 8 characters or fewer.
int GetIndexNum(const char* fname);

// The number for the next recording after psdinfo->latestindex (99999 wraps
// to 0), skipping numbers of locked entries and reclaiming unlocked ones.
// 0 after 100 locked numbers in a row.
int GetNextIndex(SDC_Info_t* psdinfo);

// Chooses the next file name ("FILE%05d.ASF", into `path` of at least 14
// bytes) and its number (*nextfileindex, also psdinfo->latestindex), makes
// room by deleting the oldest recordings when rectime > 0, and returns the
// recording time in seconds that fits; -1 when the card is full. bps: video
// bit rate in kbit/s; rectime: file length in seconds, 0 continuous mode;
// protect_ev: 0 event files are protected, 1 they are deleted like others.
int GetNextFile(int* nextfileindex, char* path, SDC_Info_t* psdinfo, int bps, int rectime, int protect_ev);

// Rewrites an event file's name in place ("FILE" -> "SAV" + digit) when the
// counters show an event. -1 for an empty name, else 0.
int ChangeEventFname(char* fname, const event_info_forAfile* eventinfo);

// Enters a finished recording into the index by time (size and time from the
// file system) and makes it the newest and selected entry. Returns 0.
int SetFileInfo(const char* path, const char* fname, SDC_Info_t* psdinfo, int BitRate, int PicSize, int Duration);

// Reads the capacity of the file system at `path` into psdinfo (diskspace,
// availablesize, path_name, index = 1). Returns diskspace, or -1.
int GetSDCap(const char* path, SDC_Info_t* psdinfo);

// 1 when the newest indexed recording is dated after the current time (the
// clock runs behind: new files would look oldest), else 0.
int isSD_Full();

// At card insertion: makes the folders, runs the command text `verinfo` with
// the shell (empty: nothing), honours the "FILE_DEL" marker, loads the index
// or rebuilds it from the recordings and fills psdinfo. 0, or -1 when supply
// power failed during a rebuild (nothing is saved then).
int GetFileList(const char* path, SDC_Info_t* psdinfo, const char* verinfo);

// The recorded-file index: every recording on the card, ordered by time,
// newest first, kept in memory as a doubly linked list and on the card as the
// text file ".INDEXFILE3" in the "DATA" folder of partition 2.
//
// The list decides which recording loop recording deletes next (the deletion
// cursor), which numbers are taken, and which files are locked event files.
// One list per process, without a lock: the recording writer changes it while
// recording, the main thread at card insertion and in the file list screens.
#pragma once

#include <cstdint>
#include <span>
#include <string>

// One recording. Entries are owned by the list; prev/next are the list links.
struct IndexFileStr {
    char FileName[14];    // 13 characters and a terminator
    int32_t FileSize;     // KiB
    int64_t Time;         // modification time, seconds since 1970
    int32_t BitRate;      // video bit rate, kbit/s (0 when rebuilt from the card)
    int32_t PictureSize;  // picture-size code vfmt (0 when rebuilt)
    int32_t Duration;     // seconds (0 when rebuilt)
    int32_t Lock;         // 1: event file, protected while protection is on
    IndexFileStr* prev;   // newer neighbour, null for the newest
    IndexFileStr* next;   // older neighbour, null for the oldest
};

// Storage information of one card.
struct SDC_Info_t {
    int32_t index;          // 1 capacity read and valid, -1 no usable card, 0 card under test
    int32_t latestindex;    // number of the newest recording, base of the next (-1: none)
    int32_t oldestindex;    // number of the oldest recording
    IndexFileStr* MostRecentIndex;
    IndexFileStr* OldestIndex;
    IndexFileStr* CurrentSelectedIndex;  // selected in the file list, played back
    int32_t NumOfFiles;     // -1: the loaded index is empty; 0: a rebuild found none
    int32_t EventFiles;
    int32_t diskspace;      // file system size, units of 1 024 000 bytes
    int32_t availablesize;  // free space, same unit
    char path_name[256];    // mount point of the partition
};

// Where AddIndex links a new entry.
enum IndexAddPoint : int {
    kAddAtNewest = 0,  // any value other than 1 and 2 does the same
    kAddAtOldest = 1,
    kAddByTime = 2,
};

// Results of LoadIndexFile.
inline constexpr int kIndexLoadOk = 0;
inline constexpr int kIndexLoadNoFile = -1;
inline constexpr int kIndexLoadBroken = -3;

inline constexpr int kIndexLineLength = 46;  // one entry line, LF included
inline constexpr const char* kIndexFileName = ".INDEXFILE3";
inline constexpr const char* kIndexStateStart = "START";  // saved when a recording run starts
inline constexpr const char* kIndexStateEnd = "END";      // the index matches the card

// The index file's board path "/mnt/mmc0_p2/DATA/.INDEXFILE3".
std::string IndexFilePath();

IndexFileStr* GetMostRecentIndex();
IndexFileStr* GetOldestIndex();
int GetNumOfIndex();
int GetNumOfEventIndex();
// The deletion cursor; when unset, the oldest entry becomes the cursor.
IndexFileStr* GetDeleteIndex();

// Enters a copy of NewIndex's name, size, time, bit rate, picture size,
// duration and lock. Returns the new entry, or null without memory (nothing
// changes). By time: on the older side of the oldest entry newer than it,
// so among equal times the later insertion is nearer the newest end.
IndexFileStr* AddIndex(const IndexFileStr* NewIndex, int add_point);

// Enters many entries by time, with the same result as AddIndex(e,
// kAddByTime) for each in order, without walking the list once per entry.
// Returns the number entered (fewer only without memory).
int AddIndexByTime(std::span<const IndexFileStr> entries);

// Unlinks and frees one entry: 0, -1 for null, -2 when it is locked and
// protect_ev is 0 (event files protected). The cursor moves to the removed
// entry's newer neighbour with protect_ev 0, to the oldest with 1.
int DeleteIndex(IndexFileStr* DelIndex, int protect_ev);

// Frees every entry; counters and cursor to zero.
void DeleteAllIndex();

// Looks for the entry with recording number NewIndex: 0 none, -1 found and
// locked, 1 found, unlocked and removed.
int IndexLinkSearch(long NewIndex);

// Writes the list, newest first, with the trailer StateStr; data synchronised
// to the card. 0, or -1 when the file cannot be created. `point` is a board
// path, with or without the board root in front.
int SaveIndexFile(const char* point, const char* StateStr);

// Replaces the list with the file's content: 0 valid, -1 no file, -3 broken
// or incomplete (the list is then empty).
int LoadIndexFile(const char* point);

// One entry as its 46-character line (LF included) into line[47].
void FormatIndexLine(const IndexFileStr& entry, char* line);

#include "storage/SDFunc.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/DR_common.h"
#include "platform/Clock.h"
#include "platform/CardCapacity.h"
#include "platform/Mount.h"
#include "storage/CardPath.h"

namespace {

constexpr const char* kCardPartition1 = "/mnt/mmc0_p1";
constexpr const char* kCardPartition2 = "/mnt/mmc0_p2";
constexpr mode_t kFolderMode = 0700;
constexpr int kSubFolders = 100;  // "00" .. "99"
constexpr int kMaxNumberTries = 100;

// Space figures in KiB.
constexpr long long kReserveKiB = 30720;            // kept free beside every file
constexpr long long kContinuousReqKiB = 4194304;    // one file of up to 4 GiB
constexpr long long kContinuousNeedKiB = 4225024;

void FlushFileSystems() {
    for (int i = 0; i < 3; ++i) diviv::SyncDisks();
}

// Calendar text of a time, without the line end.
std::string CalendarText(int64_t t) {
    const time_t tt = static_cast<time_t>(t);
    char text[64] = {};
    if (::ctime_r(&tt, text) == nullptr) return "?";
    std::string s(text);
    while (!s.empty() && s.back() == '\n') s.pop_back();
    return s;
}

// Calendar text with its line end, as the entry report lines want it.
std::string CalendarLine(int64_t t) { return CalendarText(t) + "\n"; }

void ReportAccessFailure(const char* format, const std::string& dir) {
    std::printf(format, dir.c_str());
    DR_SYSLOG(DR_ERR_FATAL, "Failure of accessing the file.", 1);
}

// Makes sure the sub-folder exists and can be entered, without entering it.
void EnsureSubFolder(const std::string& dir) {
    struct stat st {};
    if (::stat(dir.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode) && ::access(dir.c_str(), X_OK) == 0) return;
        ReportAccessFailure("Failed to change directory. %s [!!! System Reboot !!!]\n", dir);
        return;
    }
    if (errno != ENOENT) {
        ReportAccessFailure("Failed to change directory. %s [!!! System Reboot !!!]\n", dir);
        return;
    }
    // Another thread may make the same folder at the same moment.
    if (::mkdir(dir.c_str(), kFolderMode) != 0 && errno != EEXIST)
        ReportAccessFailure("Failed to create the directory. %s [!!! System Reboot !!!]\n", dir);
}

long RecordingNumberOf(const IndexFileStr* e) { return e ? GetIndexNum(e->FileName) : -1; }

// The entry IndexLinkSearch would pick for number n.
const IndexFileStr* FindNumber(long n) {
    for (const IndexFileStr* e = GetMostRecentIndex(); e != nullptr; e = e->next)
        if (RecordingNumberOf(e) == n) return e;
    return nullptr;
}

// After an entry left the list: the card record must not keep pointing at it.
void RefreshAfterRemoval(SDC_Info_t* s, bool selected_removed) {
    s->MostRecentIndex = GetMostRecentIndex();
    s->OldestIndex = GetOldestIndex();
    if (selected_removed) s->CurrentSelectedIndex = s->MostRecentIndex;
    s->NumOfFiles = GetNumOfIndex();
    s->EventFiles = GetNumOfEventIndex();
}

void ClearEntryLinks(SDC_Info_t* s) {
    s->MostRecentIndex = nullptr;
    s->OldestIndex = nullptr;
    s->CurrentSelectedIndex = nullptr;
}

// Fills the card record from a non-empty index and reports it.
void FillFromIndex(SDC_Info_t* s) {
    IndexFileStr* newest = GetMostRecentIndex();
    IndexFileStr* oldest = GetOldestIndex();
    std::printf("Most recent index is %s %d [Index=%ld] %s", newest->FileName, newest->FileSize,
                RecordingNumberOf(newest), CalendarLine(newest->Time).c_str());
    std::printf("Oldest index is      %s %d [Index=%ld] %s", oldest->FileName, oldest->FileSize,
                RecordingNumberOf(oldest), CalendarLine(oldest->Time).c_str());
    s->MostRecentIndex = newest;
    s->CurrentSelectedIndex = newest;
    s->OldestIndex = oldest;
    s->NumOfFiles = GetNumOfIndex();
    s->EventFiles = GetNumOfEventIndex();
    s->latestindex = static_cast<int32_t>(RecordingNumberOf(newest));
    s->oldestindex = static_cast<int32_t>(RecordingNumberOf(oldest));
    std::printf("Total %d ASF Files (including %d Event Files) Found\n", s->NumOfFiles, s->EventFiles);
}

bool PowerGoingDown() { return drc != nullptr && drc->PWR_DET_State.load() == 0; }

bool IsRecordingName(const char* name) {
    return std::strlen(name) == 13 && (std::strncmp(name, "FILE", 4) == 0 || std::strncmp(name, "SAV", 3) == 0) &&
           std::strcmp(name + 9, ".ASF") == 0;
}

enum class ScanResult { kDone, kPowerDown };

// Collects the recordings of one sub-folder.
ScanResult ScanSubFolder(const std::string& dir, std::vector<IndexFileStr>* found) {
    std::unique_ptr<DIR, int (*)(DIR*)> d(::opendir(dir.c_str()), ::closedir);
    if (!d) return ScanResult::kDone;
    const size_t first = found->size();
    while (const dirent* e = ::readdir(d.get())) {
        if (PowerGoingDown()) return ScanResult::kPowerDown;
        if (!IsRecordingName(e->d_name)) continue;
        struct stat st {};
        if (::fstatat(::dirfd(d.get()), e->d_name, &st, 0) != 0 || !S_ISREG(st.st_mode)) continue;
        IndexFileStr entry{};
        std::memcpy(entry.FileName, e->d_name, 13);
        entry.FileSize = static_cast<int32_t>(st.st_size / 1024);
        entry.Time = static_cast<int64_t>(st.st_mtime);
        entry.Lock = e->d_name[0] == 'S' ? 1 : 0;
        found->push_back(entry);
    }
    // A folder lists its names in no particular order. Taken in number order,
    // files with the same modification second (one file closed and the next
    // cut short by a power loss within that second) stay in recording order,
    // so the newest entry is the highest number and the next recording never
    // takes the number of a file still on the card.
    std::stable_sort(found->begin() + static_cast<long>(first), found->end(),
                     [](const IndexFileStr& a, const IndexFileStr& b) {
                         return std::strncmp(a.FileName + 4, b.FileName + 4, 5) < 0;
                     });
    return ScanResult::kDone;
}

// Step 1 of GetFileList: "DATA" with its hundred sub-folders.
void MakeDataFolders(const std::string& data) {
    struct stat st {};
    if (::stat(data.c_str(), &st) == 0) return;
    if (::mkdir(data.c_str(), kFolderMode) != 0) {
        std::printf("Failed to create the directory. %s\n", data.c_str());
        return;
    }
    for (int i = 0; i < kSubFolders; ++i) {
        char sub[8];
        std::snprintf(sub, sizeof sub, "/%02d", i);
        const std::string dir = data + sub;
        if (::mkdir(dir.c_str(), kFolderMode) != 0)
            ReportAccessFailure("Failed to create the directory. %s [!!! System Reboot !!!]\n", dir);
    }
}

}  // namespace

void MakeSDfilePath(char* buf, const char* path, const char* fname, size_t bufsize) {
    if (buf == nullptr || bufsize == 0) return;
    const char* name = fname ? fname : "";
    const size_t len = std::strlen(name);
    // The folder is named by the first two of the five digits.
    const char sub[3] = {len > 4 ? name[4] : '0', len > 5 ? name[5] : '0', '\0'};
    const std::string dir = CardPath(path ? path : "") + "/DATA/" + sub;
    EnsureSubFolder(dir);
    std::snprintf(buf, bufsize, "%s/%s", dir.c_str(), name);
}

int GetIndexNum(const char* fname) {
    if (fname == nullptr) return -1;
    const size_t len = std::strlen(fname);
    if (len <= 8) return -1;
    const std::string digits(fname + 4, len - 8);
    return std::atoi(digits.c_str());
}

int GetNextIndex(SDC_Info_t* psdinfo) {
    int n = psdinfo->latestindex;
    for (int i = 0; i < kMaxNumberTries; ++i) {
        n = (n < 0 || n >= kMaxRecordingNumber) ? 0 : n + 1;
        const bool selected = psdinfo->CurrentSelectedIndex != nullptr && psdinfo->CurrentSelectedIndex == FindNumber(n);
        const int r = IndexLinkSearch(n);
        if (r == -1) continue;  // an event file keeps its number
        if (r == 1) RefreshAfterRemoval(psdinfo, selected);
        return n;
    }
    std::printf("SDFunc : GetNextIndex Error\n");
    return 0;
}

int GetNextFile(int* nextfileindex, char* path, SDC_Info_t* psdinfo, int bps, int rectime, int protect_ev) {
    if (nextfileindex == nullptr || path == nullptr || psdinfo == nullptr) return -1;
    if (bps <= 0) return -1;  // no rate to size a file by; callers pass a selected preset

    // Estimated stream rate, bit/s: video plus audio, data and container.
    const long long rate = static_cast<long long>(bps) * 1050 + 16800;
    long long req, need;  // KiB
    if (rectime > 0) {
        req = static_cast<long long>(rectime) * rate / 8192;
        need = req + kReserveKiB;
    } else {
        req = kContinuousReqKiB;
        need = kContinuousNeedKiB;
    }
    long long available = static_cast<long long>(psdinfo->availablesize) * 1024;
    auto fitting_time = [&] {
        if (rectime <= 0) return 4294967 / bps;
        return static_cast<int>(static_cast<float>(req * 8192) / static_cast<float>(rate) + 0.5f);
    };
    auto take_number = [&] {
        const int n = GetNextIndex(psdinfo);
        psdinfo->latestindex = n;
        std::snprintf(path, 14, "FILE%05d.ASF", n);
        return n;
    };

    if (available > need) {
        const int n = take_number();
        const int t = fitting_time();
        std::printf("SDFunc : ReqSpace=%lld AvailableTime=%d bps=%d\n", req, t, bps);
        *nextfileindex = n;
        return t;
    }
    std::printf("SDFunc : Not enough disk space[avilable %lld kbyte] mode=%s\n", available,
                rectime > 0 ? "Endless Mode" : "Continious Mode");
    if (rectime <= 0) return -1;

    // Loop recording: delete from the oldest until the file fits.
    const int n = take_number();
    const std::string card = psdinfo->path_name[0] ? psdinfo->path_name : kCardPartition1;
    IndexFileStr* candidate = GetDeleteIndex();
    while (available < need) {
        if (candidate == nullptr) {
            std::printf("SDF : Could not find a file to be deleted\n");
            return -1;
        }
        char file[kSDPathMax * 2];
        MakeSDfilePath(file, card.c_str(), candidate->FileName, sizeof file);
        std::printf("Should remove Oldest File : %s\n", file);
        const bool selected = psdinfo->CurrentSelectedIndex == candidate;
        const int r = DeleteIndex(candidate, protect_ev);
        if (r != 0) {
            std::printf("Delete NG (File is locked!)[%d]\n", r);
            candidate = candidate->prev;
            continue;
        }
        if (std::remove(file) == 0) std::printf("Delete OK\n");
        else std::printf("Remove NG : %s\n", file);
        RefreshAfterRemoval(psdinfo, selected);
        // Without a fresh figure every further deletion would be blind.
        if (GetSDCap(card.c_str(), psdinfo) < 0) return -1;
        available = static_cast<long long>(psdinfo->availablesize) * 1024;
        candidate = GetDeleteIndex();
    }
    *nextfileindex = n;
    return fitting_time();
}

int ChangeEventFname(char* fname, const event_info_forAfile* eventinfo) {
    if (fname == nullptr || fname[0] == '\0') return -1;
    if (eventinfo == nullptr) return 0;
    const int digit = (eventinfo->cnt_accel != 0 ? 1 : 0) | (eventinfo->cnt_break != 0 ? 2 : 0) |
                      (eventinfo->cnt_steer != 0 ? 4 : 0) | (eventinfo->cnt_contactin != 0 ? 8 : 0);
    if (digit == 0) return 0;
    if (std::strlen(fname) < 4) return -1;
    std::memcpy(fname, "SAV", 3);
    fname[3] = "0123456789ABCDEF"[digit];
    return 0;
}

int SetFileInfo(const char* path, const char* fname, SDC_Info_t* psdinfo, int BitRate, int PicSize, int Duration) {
    if (fname == nullptr || psdinfo == nullptr) return 0;
    char file[kSDPathMax * 2];
    MakeSDfilePath(file, path, fname, sizeof file);
    struct stat st {};
    const int ret = ::stat(file, &st);
    if (ret != 0) {
        std::printf("SDF : Error :: Could not get file info [file=%s path=%s ret=%d]\n", fname, file, ret);
        return 0;
    }
    IndexFileStr e{};
    std::snprintf(e.FileName, sizeof e.FileName, "%s", fname);
    e.FileSize = static_cast<int32_t>(st.st_size / 1024);
    e.Time = static_cast<int64_t>(st.st_mtime);
    e.BitRate = BitRate;
    e.PictureSize = PicSize;
    e.Duration = Duration;
    e.Lock = (std::strncmp(fname, "SAV", 3) == 0 && std::isxdigit(static_cast<unsigned char>(fname[3]))) ? 1 : 0;
    AddIndex(&e, kAddByTime);
    psdinfo->MostRecentIndex = GetMostRecentIndex();
    psdinfo->CurrentSelectedIndex = psdinfo->MostRecentIndex;
    psdinfo->OldestIndex = GetOldestIndex();
    psdinfo->NumOfFiles = GetNumOfIndex();
    psdinfo->EventFiles = GetNumOfEventIndex();
    return 0;
}

int GetSDCap(const char* path, SDC_Info_t* psdinfo) {
    diviv::CardCapacity cap;
    if (path == nullptr || psdinfo == nullptr || diviv::QueryCardCapacity(path, &cap) != 0) {
        std::printf("SDFunc : statfs() returns error [%s]\n", path ? path : "");
        return -1;
    }
    std::printf("Disk file count (%s)%d %d %d %d\n", path, static_cast<int>(cap.free_blocks),
                static_cast<int>(cap.avail_blocks), static_cast<int>(cap.total_blocks), static_cast<int>(cap.free_files));
    // Units of 1 024 000 bytes: (block size / 1000) x blocks / 1024.
    const uint64_t per_block = cap.block_size / 1000;
    psdinfo->availablesize = static_cast<int32_t>((per_block * cap.avail_blocks) >> 10);
    psdinfo->diskspace = static_cast<int32_t>((per_block * cap.total_blocks) >> 10);
    std::snprintf(psdinfo->path_name, sizeof psdinfo->path_name, "%s", path);
    psdinfo->index = 1;
    return psdinfo->diskspace;
}

int isSD_Full() {
    const IndexFileStr* newest = GetMostRecentIndex();
    if (newest == nullptr) return 0;
    const int64_t now = diviv::Now().tv_sec;
    if (now >= newest->Time) return 0;
    std::printf("isSD_Full Now=%s New=%s\n", CalendarText(now).c_str(), CalendarText(newest->Time).c_str());
    return 1;
}

int GetFileList(const char* path, SDC_Info_t* psdinfo, const char* verinfo) {
    const std::string card = CardPath(path ? path : kCardPartition1);
    const std::string data = card + "/DATA";

    MakeDataFolders(data);

    if (verinfo != nullptr && verinfo[0] != '\0') (void)std::system(verinfo);
    FlushFileSystems();

    const std::string index_file = CardPath(IndexFilePath());
    const std::string marker = CardPath(kCardPartition1) + "/DATA/FILE_DEL";
    if (::access(marker.c_str(), F_OK) == 0) {
        std::printf("FILE_DEL detected!! It will be removed.\n");
        ::unlink(marker.c_str());
        std::printf(".INDEXFILE3 will be remade after it's removed.\n");
        ::unlink(index_file.c_str());
        FlushFileSystems();
    }

    const std::string data2 = CardPath(kCardPartition2) + "/DATA";
    struct stat st {};
    if (::stat(data2.c_str(), &st) != 0) ::mkdir(data2.c_str(), kFolderMode);

    // The entries the record points at are about to be replaced.
    ClearEntryLinks(psdinfo);
    if (LoadIndexFile(index_file.c_str()) == kIndexLoadOk) {
        std::printf("LOAD INDEX FILE OK.[%s]\n", index_file.c_str());
        if (GetNumOfIndex() > 0) {
            FillFromIndex(psdinfo);
        } else {
            psdinfo->NumOfFiles = -1;
            psdinfo->EventFiles = 0;
            psdinfo->latestindex = -1;
        }
        return 0;
    }

    std::printf("Can not find INDEX FILE.[%s]\n", index_file.c_str());
    std::printf("Make INDEX FILE start.\n");
    DR_SYSLOG(DR_ERR_SURVIVABLE, "Failure of accessing the file.", 0);
    DeleteAllIndex();
    std::vector<IndexFileStr> found;
    for (int i = 0; i < kSubFolders; ++i) {
        char sub[8];
        std::snprintf(sub, sizeof sub, "/%02d", i);
        if (ScanSubFolder(data + sub, &found) == ScanResult::kPowerDown) {
            std::printf("Detect Power Down during index file producing\n");
            return -1;
        }
    }
    // Sorting once instead of walking the list per file keeps a card of
    // 10,000 recordings fast; the order is the same.
    AddIndexByTime(found);
    if (GetNumOfIndex() == 0) {
        std::printf("Can not find any asf files in the SD memory card !\n");
        psdinfo->NumOfFiles = 0;
        psdinfo->EventFiles = 0;
        psdinfo->latestindex = -1;
    } else {
        FillFromIndex(psdinfo);
    }
    SaveIndexFile(index_file.c_str(), kIndexStateEnd);
    return 0;
}

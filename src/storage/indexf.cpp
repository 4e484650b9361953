#include "storage/indexf.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "platform/Mount.h"
#include "storage/CardPath.h"

namespace {

// The list: indexTop newest, indexEnd oldest.
IndexFileStr* indexTop = nullptr;
IndexFileStr* indexEnd = nullptr;
int nNumOfIndex = 0;
int nNumOfEventIndex = 0;   // entries whose name begins with "SAV"
IndexFileStr* indexDel = nullptr;  // deletion cursor; null stands for the oldest
// True while the list is ordered by Time, newest first. Insertion by time
// and deletion keep the order; only insertion at either end can break it.
bool indexSorted = true;

bool IsEventName(const char* name) { return std::strncmp(name, "SAV", 3) == 0; }

IndexFileStr* NewEntry(const IndexFileStr& from) {
    std::unique_ptr<IndexFileStr> e;
    try {
        e = std::make_unique<IndexFileStr>();  // zero-filled
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    std::memcpy(e->FileName, from.FileName, sizeof e->FileName - 1);
    e->FileName[sizeof e->FileName - 1] = '\0';
    e->FileSize = from.FileSize;
    e->Time = from.Time;
    e->BitRate = from.BitRate;
    e->PictureSize = from.PictureSize;
    e->Duration = from.Duration;
    e->Lock = from.Lock;
    return e.release();  // owned by the list from here on
}

void FreeEntry(IndexFileStr* e) { std::unique_ptr<IndexFileStr> owner(e); }

// Links e on the newer side of `older`; a null `older` makes e the oldest.
void LinkNewerThan(IndexFileStr* e, IndexFileStr* older) {
    e->next = older;
    e->prev = older ? older->prev : indexEnd;
    if (e->prev) e->prev->next = e; else indexTop = e;
    if (older) older->prev = e; else indexEnd = e;
    ++nNumOfIndex;
    if (IsEventName(e->FileName)) ++nNumOfEventIndex;
}

// The entry on whose newer side a new entry of time t belongs: the newest
// entry not newer than t (null: t is older than everything).
IndexFileStr* ByTimePosition(int64_t t) {
    if (indexSorted) {
        // Recordings arrive newest, so the walk from the newest end stops at
        // once. In an ordered list this is the same place as the walk below.
        IndexFileStr* q = indexTop;
        while (q && q->Time > t) q = q->next;
        return q;
    }
    // From the oldest towards the newest, past every entry not newer than t.
    IndexFileStr* p = indexEnd;
    while (p && t >= p->Time) p = p->prev;
    return p ? p->next : indexTop;
}

long RecordingNumber(const IndexFileStr& e) {
    char digits[6] = {};
    if (std::strlen(e.FileName) > 4) std::memcpy(digits, e.FileName + 4, 5);
    return std::strtol(digits, nullptr, 10);
}

// Writes v into width columns with leading zeros; a longer number keeps its
// leading digits.
void PutNumber(char* dst, long long v, int width) {
    char tmp[32];
    std::snprintf(tmp, sizeof tmp, "%0*lld", width, v);
    std::memcpy(dst, tmp, static_cast<size_t>(width));
}

long long ReadNumber(const char* line, int column, int width) {
    char tmp[16] = {};
    std::memcpy(tmp, line + column, static_cast<size_t>(width));
    return std::strtoll(tmp, nullptr, 10);
}

// A name read from the card becomes part of a path that loop recording
// deletes: it must stay one plain file name inside its folder.
bool IsSafeFileName(const char* name) {
    if (name[0] == '\0' || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) return false;
    for (const char* c = name; *c; ++c) {
        if (*c == '/' || static_cast<unsigned char>(*c) < 0x20 || *c == 0x7f) return false;
    }
    return true;
}

// Parses one 46-character line; false when its name is unusable.
bool ParseIndexLine(const char* line, IndexFileStr* e) {
    *e = IndexFileStr{};
    std::memcpy(e->FileName, line, 13);
    for (int i = 12; i >= 0 && e->FileName[i] == ' '; --i) e->FileName[i] = '\0';
    e->FileSize = static_cast<int32_t>(ReadNumber(line, 14, 7));
    e->Time = ReadNumber(line, 22, 10);
    e->BitRate = static_cast<int32_t>(ReadNumber(line, 33, 4));
    e->PictureSize = static_cast<int32_t>(ReadNumber(line, 38, 1));
    e->Duration = static_cast<int32_t>(ReadNumber(line, 40, 3));
    e->Lock = static_cast<int32_t>(ReadNumber(line, 44, 1));
    return IsSafeFileName(e->FileName);
}

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

}  // namespace

std::string IndexFilePath() { return std::string("/mnt/mmc0_p2/DATA/") + kIndexFileName; }

IndexFileStr* GetMostRecentIndex() { return indexTop; }
IndexFileStr* GetOldestIndex() { return indexEnd; }
int GetNumOfIndex() { return nNumOfIndex; }
int GetNumOfEventIndex() { return nNumOfEventIndex; }

IndexFileStr* GetDeleteIndex() {
    if (indexDel == nullptr) indexDel = indexEnd;
    return indexDel;
}

IndexFileStr* AddIndex(const IndexFileStr* NewIndex, int add_point) {
    if (NewIndex == nullptr) return nullptr;
    IndexFileStr* e = NewEntry(*NewIndex);
    if (e == nullptr) return nullptr;
    if (add_point == kAddByTime) {
        LinkNewerThan(e, ByTimePosition(e->Time));
    } else if (add_point == kAddAtOldest) {
        if (indexEnd && indexEnd->Time < e->Time) indexSorted = false;
        LinkNewerThan(e, nullptr);
    } else {
        if (indexTop && e->Time < indexTop->Time) indexSorted = false;
        LinkNewerThan(e, indexTop);
    }
    return e;
}

int AddIndexByTime(std::span<const IndexFileStr> entries) {
    int added = 0;
    if (!indexSorted) {
        for (const auto& e : entries) added += AddIndex(&e, kAddByTime) ? 1 : 0;
        return added;
    }
    // Oldest first; equal times keep their order, so a later one ends up
    // nearer the newest end, as one-by-one insertion would place it.
    std::vector<const IndexFileStr*> order;
    order.reserve(entries.size());
    for (const auto& e : entries) order.push_back(&e);
    std::stable_sort(order.begin(), order.end(),
                     [](const IndexFileStr* a, const IndexFileStr* b) { return a->Time < b->Time; });
    // `above` is the oldest entry newer than the current time; it only moves
    // towards the newest end, so the whole merge is one walk of the list.
    IndexFileStr* above = indexEnd;
    for (const IndexFileStr* from : order) {
        while (above && above->Time <= from->Time) above = above->prev;
        IndexFileStr* e = NewEntry(*from);
        if (e == nullptr) break;
        LinkNewerThan(e, above ? above->next : indexTop);
        ++added;
    }
    return added;
}

int DeleteIndex(IndexFileStr* DelIndex, int protect_ev) {
    if (DelIndex == nullptr) return -1;
    if (DelIndex->Lock != 0 && protect_ev == 0) return -2;
    IndexFileStr* newer = DelIndex->prev;
    IndexFileStr* older = DelIndex->next;
    if (newer) newer->next = older; else indexTop = older;
    if (older) older->prev = newer; else indexEnd = newer;
    indexDel = protect_ev == 0 ? newer : nullptr;
    --nNumOfIndex;
    if (IsEventName(DelIndex->FileName)) --nNumOfEventIndex;
    if (nNumOfIndex == 0) indexSorted = true;
    FreeEntry(DelIndex);
    return 0;
}

void DeleteAllIndex() {
    for (IndexFileStr* e = indexTop; e != nullptr;) {
        IndexFileStr* older = e->next;
        FreeEntry(e);
        e = older;
    }
    indexTop = indexEnd = indexDel = nullptr;
    nNumOfIndex = nNumOfEventIndex = 0;
    indexSorted = true;
}

int IndexLinkSearch(long NewIndex) {
    for (IndexFileStr* e = indexTop; e != nullptr; e = e->next) {
        if (RecordingNumber(*e) != NewIndex) continue;
        if (e->Lock != 0) {
            std::printf("INDEX:index is locked(%s)[no=%ld]\n", e->FileName, NewIndex);
            return -1;
        }
        std::printf("INDEX:index is deleted(%s)[no=%ld]\n", e->FileName, NewIndex);
        DeleteIndex(e, 0);
        return 1;
    }
    return 0;
}

void FormatIndexLine(const IndexFileStr& e, char* line) {
    std::memset(line, ' ', kIndexLineLength);
    const size_t n = strnlen(e.FileName, 13);
    std::memcpy(line, e.FileName, n);
    PutNumber(line + 14, e.FileSize, 7);
    PutNumber(line + 22, e.Time, 10);
    PutNumber(line + 33, e.BitRate, 4);
    PutNumber(line + 38, e.PictureSize, 1);
    PutNumber(line + 40, e.Duration, 3);
    line[44] = e.Lock ? '1' : '0';
    line[45] = '\n';
    line[46] = '\0';
}

int SaveIndexFile(const char* point, const char* StateStr) {
    if (point == nullptr) return -1;
    const std::string file = CardPath(point);
    FilePtr fp(std::fopen(file.c_str(), "w"));
    if (!fp) return -1;
    // One large buffer: 10,000 lines leave in a few writes.
    std::setvbuf(fp.get(), nullptr, _IOFBF, 1 << 16);
    char line[kIndexLineLength + 1];
    for (const IndexFileStr* e = indexTop; e != nullptr; e = e->next) {
        FormatIndexLine(*e, line);
        const size_t ret = std::fwrite(line, 1, kIndexLineLength, fp.get());
        if (ret != static_cast<size_t>(kIndexLineLength))
            std::printf("SD SaveError:[Ret=%d data=%s]\n", static_cast<int>(ret), line);
    }
    if (StateStr) std::fputs(StateStr, fp.get());
    std::fflush(fp.get());
    // The index must be on the card before power can fail.
    diviv::SyncCardFile(::fileno(fp.get()));
    fp.reset();
    for (int i = 0; i < 3; ++i) diviv::SyncDisks();
    return 0;
}

int LoadIndexFile(const char* point) {
    if (point == nullptr) return kIndexLoadNoFile;
    FilePtr fp(std::fopen(CardPath(point).c_str(), "r"));
    if (!fp) return kIndexLoadNoFile;
    std::printf("LoadIndexFile called \n");
    // The old entries go: the file replaces the whole list.
    DeleteAllIndex();
    char buf[100];
    IndexFileStr parsed;
    while (std::fgets(buf, sizeof buf, fp.get()) != nullptr) {
        const int len = static_cast<int>(std::strlen(buf));
        if (len == kIndexLineLength && ParseIndexLine(buf, &parsed)) {
            if (AddIndex(&parsed, kAddAtOldest) == nullptr) break;  // out of memory: unusable
            continue;
        }
        if (len != kIndexLineLength && std::strncmp(buf, "END", 3) == 0) {
            std::printf("INDEX FILE IS VALID !!\n");
            return kIndexLoadOk;
        }
        std::printf("INDEX FILE IS INVALID !!\n");
        std::printf("\nFile Broken Error!!:%s [len=%d Ideal=%d]\n", buf, len, kIndexLineLength);
        DeleteAllIndex();
        return kIndexLoadBroken;
    }
    std::printf("INDEX FILE IS NO DATA !!\n");
    DeleteAllIndex();
    return kIndexLoadBroken;
}

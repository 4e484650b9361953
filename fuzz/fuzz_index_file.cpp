// The recorded-file index as it may be found on a card: any file must load
// into a consistent list (links both ways, counts, every name a plain file
// name) or be refused with an empty list; a loaded index written out line by
// line loads back to the same entries; the loop-recording walk over it
// (deletion cursor, search by number, deletion) keeps the list consistent.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "FuzzBoard.h"
#include "storage/indexf.h"

namespace {

struct Entry {
    std::string name;
    int32_t size, bitrate, picture, duration;
    int64_t time;
    bool lock;
    bool operator==(const Entry&) const = default;
};

// Walks the list both ways and checks it against the counters.
std::vector<Entry> CheckedList() {
    std::vector<Entry> out;
    int events = 0;
    const IndexFileStr* prev = nullptr;
    for (const IndexFileStr* e = GetMostRecentIndex(); e != nullptr; e = e->next) {
        if (e->prev != prev) __builtin_trap();
        if (strnlen(e->FileName, sizeof e->FileName) == sizeof e->FileName) __builtin_trap();
        const std::string name(e->FileName);
        if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) __builtin_trap();
        if (name.compare(0, 3, "SAV") == 0) ++events;
        out.push_back({name, e->FileSize, e->BitRate, e->PictureSize, e->Duration, e->Time, e->Lock != 0});
        prev = e;
        if (out.size() > 100000) __builtin_trap();  // a loop in the links
    }
    if (prev != GetOldestIndex()) __builtin_trap();
    if (static_cast<int>(out.size()) != GetNumOfIndex() || events != GetNumOfEventIndex()) __builtin_trap();
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* file = fuzzboard::WriteRootFile("index", data, size);
    const std::string path = file;
    const int rc = LoadIndexFile(path.c_str());
    if (rc != kIndexLoadOk && rc != kIndexLoadBroken) __builtin_trap();
    const std::vector<Entry> loaded = CheckedList();
    if (rc != kIndexLoadOk && !loaded.empty()) __builtin_trap();  // a refused index leaves no entries

    if (rc == kIndexLoadOk) {
        // The same entries written as the recorder writes them.
        std::string text;
        char line[kIndexLineLength + 1];
        for (const IndexFileStr* e = GetMostRecentIndex(); e != nullptr; e = e->next) {
            FormatIndexLine(*e, line);
            if (std::strlen(line) != static_cast<size_t>(kIndexLineLength)) __builtin_trap();
            text += line;
        }
        text += kIndexStateEnd;
        const std::string again =
            fuzzboard::WriteRootFile("index-again", reinterpret_cast<const uint8_t*>(text.data()), text.size());
        if (LoadIndexFile(again.c_str()) != kIndexLoadOk) __builtin_trap();
        if (CheckedList() != loaded) __builtin_trap();

        // Loop recording over it: the oldest unlocked entries go, one by one.
        if (!loaded.empty() && loaded.front().name.size() > 4)
            IndexLinkSearch(std::strtol(loaded.front().name.substr(4, 5).c_str(), nullptr, 10));
        for (int i = 0; i < 4 && GetNumOfIndex() > 0; ++i) {
            IndexFileStr* del = GetDeleteIndex();
            if (del == nullptr) __builtin_trap();
            if (DeleteIndex(del, i & 1) == -2) break;
            CheckedList();
        }
    }
    DeleteAllIndex();
    return 0;
}

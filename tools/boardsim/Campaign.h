// `boardsim campaign`: power cuts at the worst moments, and what the card
// holds afterwards.
//
// One board is started again and again with a scripted drive in 5-second
// files; each run is ended by a supply cut (the recorder killed at once) at a
// moment chosen at random among the dangerous ones: during start-up, during
// a file, at a file change, while the index is written, during the unmount
// after supply power was lost, or a moment after the card was pulled while
// recording (the card is put back before the next start). After each cut the card loses what was not
// flushed (sim/SimCardSync.h), and the campaign checks what the next start
// finds: every recording finished before the cut is on the card and whole,
// in a valid index or one the recorder rebuilds, and nothing outside the
// card's folders changed.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace boardsim {

struct CampaignOptions {
    std::string root;                  // the board root; created, must not hold a board yet
    int cuts = 50;
    uint64_t seed = 0;
    bool seed_given = false;           // false: a seed is drawn and printed
    uint64_t card_mb = 8192;
    int jobs = 1;                      // boards cut side by side (DIR/board-K each)
    std::string media;                 // diviv-media; empty: beside boardsim in the build tree
    std::vector<std::string> program;  // PROGRAM ARGS...
};

// Runs the campaign; prints running counts every 50 cuts and a summary.
// With several jobs each runs its share of the cuts on its own board
// (DIR/board-K) with the seed + K. Returns 0 when no finished recording was
// lost and every check held, 1 when one failed, 2 when the campaign could
// not start.
int RunCampaign(const CampaignOptions& options);

// ---- parts the campaign is made of (tested on their own) ----

// What one run's console and timeline say.
struct RunReport {
    std::vector<int> finished;       // recording numbers closed and entered in the index
    std::vector<int> deleted;        // numbers loop recording deleted
    // The first index decision of the run (a card taken again later in the
    // run decides on the index that run left):
    bool index_loaded = false;       // "INDEX FILE IS VALID !!"
    bool index_rebuilt = false;      // "Make INDEX FILE start."
    bool recording_started = false;  // "Start auto recoding"
    bool file_opened = false;        // the writer began a file (after saving the index "START")
    bool switched_off = false;       // the recorder switched the board off itself
    bool card_pulled = false;        // the card was pulled ("card remove"); only files
                                     // finished before it count as finished
};
RunReport ReadRunLog(std::string_view log);

// The recording number of a card file name ("FILE00012.ASF", "SAV200012.ASF"),
// or -1 for any other name.
int RecordingNumber(std::string_view name);

// The index file as the next start will judge it.
enum class IndexState {
    kMissing,
    kValid,   // whole lines and the "END" trailer: loaded as it is
    kOpen,    // whole lines and the "START" trailer: a run was cut, rebuilt
              // (its lines are what the run started with)
    kBroken,  // anything else: rebuilt
};
struct IndexContents {
    IndexState state = IndexState::kMissing;
    std::vector<std::string> names;
};
IndexContents ParseIndexFile(std::string_view text);

// True for a file of the board root (a path relative to it) that no start
// may change: everything but the kernel's and the drivers' files (proc/,
// sys/, dev/), the RAM disk (var/), the simulator's own files (sim/, but its
// EEPROM image) and the card's recording folders (mnt/*/DATA/).
bool WatchedOutsideCard(std::string_view relative_path);

// A card's controller after a cut: a file written since its last flush
// keeps a random length between its flushed size and its size at the cut.
// `durable` is the flushed size, `size` the size at the cut, `draw` a random
// number.
uint64_t LengthAfterCut(uint64_t durable, uint64_t size, uint64_t draw);

}  // namespace boardsim

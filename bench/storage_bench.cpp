// A card holding 10,000 recordings (the file table's size): rebuilding the
// index from the card, saving and loading it, and choosing the next file on
// a full card (loop recording), on the simulated board.
//
// The storage functions report on stdout; it goes to /dev/null here and the
// benchmark report goes to stderr.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>

#include "platform/Board.h"
#include "sim/SimBoard.h"
#include "sim/SimulatedBoard.h"
#include "storage/SDFunc.h"
#include "storage/indexf.h"

namespace {

namespace fs = std::filesystem;

constexpr int kRecordings = 10000;
constexpr off_t kRecordingBytes = 4 * 1024 * 1024;  // sparse: counted, not written
constexpr uint64_t kSpareMb = 20;                    // free space of the full card

// A simulated board whose card holds kRecordings recordings, numbered i * 10
// so they spread over all hundred folders, each a minute newer than the last.
class FullCard {
public:
    FullCard() {
        char tmpl[] = "/tmp/diviv-bench-storage-XXXXXX";
        root_ = ::mkdtemp(tmpl);
        diviv::sim::SimBoardOptions o;
        o.partitions = {{0x0C, kRecordings * 4 + kSpareMb}, {0x0C, 64}};
        o.card_mb = kRecordings * 4 + kSpareMb + 100;
        std::string error;
        if (!diviv::sim::CreateSimBoard(root_, o, &error)) {
            std::cerr << error << "\n";
            std::exit(1);
        }
        ::setenv("DIVIV_ROOT", root_.c_str(), 1);
        ::setenv("DIVIV_BOARD", "sim", 1);
        diviv::InstallBoard(diviv::sim::MakeSimBoard());
        for (int i = 0; i < 100; ++i) {
            char sub[64];
            std::snprintf(sub, sizeof sub, "/mnt/mmc0_p1/DATA/%02d", i);
            fs::create_directories(root_ + sub);
        }
        fs::create_directories(root_ + "/mnt/mmc0_p2/DATA");
        for (int i = 0; i < kRecordings; ++i) {
            char name[16];
            std::snprintf(name, sizeof name, i % 10 == 3 ? "SAV1%05d.ASF" : "FILE%05d.ASF", i * 10);
            MakeRecording(name, 1600000000 + i * 60);
        }
    }
    ~FullCard() {
        DeleteAllIndex();
        std::error_code ec;
        fs::remove_all(root_, ec);
    }

    void MakeRecording(const char* name, time_t mtime) const {
        char file[512];
        std::snprintf(file, sizeof file, "%s/mnt/mmc0_p1/DATA/%.2s/%s", root_.c_str(), name + 4, name);
        const int fd = ::open(file, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 || ::ftruncate(fd, kRecordingBytes) != 0) std::exit(1);
        ::close(fd);
        const timeval t[2] = {{mtime, 0}, {mtime, 0}};
        ::utimes(file, t);
    }

    std::string IndexFile() const { return root_ + IndexFilePath(); }

    // Index rebuilt from the card, as at card insertion.
    void Insert(SDC_Info_t* info) {
        fs::remove(IndexFile());
        *info = SDC_Info_t{};
        GetFileList("/mnt/mmc0_p1", info, "");
    }

private:
    std::string root_;
};

FullCard& Card() {
    static FullCard card;
    return card;
}

void BM_IndexRebuildFromCard(benchmark::State& state) {
    FullCard& card = Card();
    SDC_Info_t info{};
    for (auto _ : state) {
        state.PauseTiming();
        DeleteAllIndex();
        fs::remove(card.IndexFile());
        state.ResumeTiming();
        GetFileList("/mnt/mmc0_p1", &info, "");
    }
    if (GetNumOfIndex() != kRecordings) state.SkipWithError("rebuild missed recordings");
}

void BM_IndexSave(benchmark::State& state) {
    FullCard& card = Card();
    SDC_Info_t info{};
    card.Insert(&info);
    const std::string path = IndexFilePath();
    for (auto _ : state) SaveIndexFile(path.c_str(), kIndexStateEnd);
}

void BM_IndexLoad(benchmark::State& state) {
    FullCard& card = Card();
    SDC_Info_t info{};
    card.Insert(&info);
    const std::string path = IndexFilePath();
    for (auto _ : state) {
        if (LoadIndexFile(path.c_str()) != kIndexLoadOk) state.SkipWithError("index did not load");
    }
    if (GetNumOfIndex() != kRecordings) state.SkipWithError("load missed entries");
}

// One file of 10 s at 512 kbit/s needs about 31 MB; the card has 20 MB spare,
// so every call deletes the oldest recording(s). The new recording then takes
// the freed place, outside the timing, like the writer would.
void BM_GetNextFileOnFullCard(benchmark::State& state) {
    FullCard& card = Card();
    SDC_Info_t info{};
    card.Insert(&info);
    GetSDCap("/mnt/mmc0_p1", &info);
    time_t mtime = 1700000000;
    for (auto _ : state) {
        int number = 0;
        char name[16];
        const int t = GetNextFile(&number, name, &info, 512, 10, 0);
        state.PauseTiming();
        if (t < 0) {
            state.SkipWithError("card full");
            break;
        }
        card.MakeRecording(name, ++mtime);
        SetFileInfo("/mnt/mmc0_p1", name, &info, 512, 0, 10);
        GetSDCap("/mnt/mmc0_p1", &info);
        state.ResumeTiming();
    }
}

// The simulated capacity query walks the whole card once per call.
void BM_SimCapacityQuery(benchmark::State& state) {
    Card();
    SDC_Info_t info{};
    for (auto _ : state) GetSDCap("/mnt/mmc0_p1", &info);
}

}  // namespace

BENCHMARK(BM_IndexRebuildFromCard)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_IndexSave)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_IndexLoad)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_GetNextFileOnFullCard)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SimCapacityQuery)->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    if (std::freopen("/dev/null", "w", stdout) == nullptr) return 1;
    benchmark::ConsoleReporter reporter;
    reporter.SetOutputStream(&std::cerr);
    reporter.SetErrorStream(&std::cerr);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}

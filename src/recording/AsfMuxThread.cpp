#include "recording/AsfMuxThread.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>

#include "core/DR_common.h"
#include "formats/AsfRecorderInit.h"
#include "platform/BoardPath.h"
#include "platform/Clock.h"
#include "platform/Mount.h"
#include "recording/EventDetect.h"
#include "recording/MuxDump.h"
#include "recording/MuxFile.h"
#include "recording/MuxRules.h"
#include "recording/MuxState.h"
#include "storage/indexf.h"

std::string RecordingIndexPath() { return BoardPath("/mnt/mmc0_p2") + "/DATA/.INDEXFILE3"; }

namespace {

// Unmounts both card partitions once external power is gone, so the files
// on the card are complete before the board switches off.
void UnmountAfterPowerLoss(dr_common_t* dr) {
    diviv::SyncDisks();
    if (chdir("/") != 0) std::perror("chdir");
    if (diviv::UnmountCard("/mnt/mmc0_p1") == 0) std::printf("AM : Unmount SD done\n");
    else std::printf("AM : Error :: Can not Unmount SD !!\n");
    if (diviv::UnmountCard("/mnt/mmc0_p2") == 0) std::printf("AM : Unmount SD[Partition 2] done\n");
    else std::printf("AM : Error :: Can not Unmount SD [Partition 2]!!\n");
    std::printf("AM : SD CARD UMOUNT COMPLETED ! (Detect PWR_DET=OFF) [%s]\n", diviv::LocalTimeStampMs().c_str());
    dr->PWR_OFF_READY = 1;
}

// Writes files one after another until a close request, single-file mode or
// a full card. False when the ASF writer could not be created.
bool RecordFiles(dr_common_t* dr) {
    using namespace diviv::mux;
    auto s = std::make_unique<MuxState>();
    s->dr = dr;
    s->cfg = dr->pCodecCfg;
    s->gop = SharedSetting(s->cfg->gop);
    s->enc_fps = SharedSetting(s->cfg->enc_fps);
    s->bps = SharedSetting(s->cfg->bps);
    const int rectime = SharedSetting(s->cfg->rectime);
    s->IDBuf = IdRecord(dr->id1, dr->id2, dr->id3, dr->id4);
    auto setup = std::make_unique<AsfRecorderSetup>();

    WaitForCapture(*s);
    while (!s->closing()) {
        const FileEnd end = RecordOneFile(*s, *setup, rectime);
        if (end == FileEnd::kCreateFailed) return false;
        if (end != FileEnd::kNext) break;
    }
    SetSharedSetting(s->cfg->rectime, rectime);  // the length the recording started with
    std::printf("AM : Start time of video [%10.03f] audio [%10.03f]\n", s->StartVideoTime, s->StartAudioTime);
    std::printf("AM : Debug :: EXIT_LOOP\n");
    if (s->asf != nullptr) {
        std::printf("AM : Debug :: Close Mux Proc\n");
        ASF_Mux_Close(s->asf);
        s->asf = nullptr;
    }
    std::printf("AM : ####### Encoding reaches to endpoint ! [%d]\n", s->nFrameCount);
    return true;
}

}  // namespace

void AsfMuxThread(dr_common_t* dr) {
    std::printf("AM : ASF Mux       Thread Start [ppid=%d tid=%ld] ###\n", static_cast<int>(getppid()),
                static_cast<long>(syscall(SYS_gettid)));
    const std::string index_path = RecordingIndexPath();
    // The index is marked "START" while files are being written, so a power
    // cut in the middle is seen at the next start and the index rebuilt.
    SaveIndexFile(index_path.c_str(), "START");
    ClearEventState(&dr->eventinfo);

    if (diviv::mux::StreamDumpRequested()) {
        diviv::mux::DumpStreamsUntilClose(dr);
        std::printf("AM : Debug :: EXIT_LOOP\n");
    } else if (!RecordFiles(dr)) {
        // Without a writer nothing can be recorded: the recording is ended
        // rather than left running with its buffers filling up.
        dr->REQ_CLOSE = 1;
        dr->AM_ALIVE = 0;
        return;
    }
    SaveIndexFile(index_path.c_str(), "END");
    std::printf("AM : SaveIndexFile() done !\n");
    if (dr->PWR_DET_State.load() == 0) UnmountAfterPowerLoss(dr);
    std::fflush(stdout);

    dr->REQ_CLOSE = 1;
    while (dr->REQ_AM_CLOSE.load() == 0) dr_usleep(20000);
    std::printf("AM : ASF Multiplex Thread End\n");
    std::fflush(stdout);
    dr->AM_ALIVE = 0;
}

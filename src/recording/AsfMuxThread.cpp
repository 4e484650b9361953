#include "recording/AsfMuxThread.h"

#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <string>

#include "core/DR_common.h"
#include "platform/BoardPath.h"
#include "platform/Clock.h"
#include "platform/Mount.h"
#include "recording/AudioDrain.h"
#include "recording/RmcDrain.h"
#include "recording/SensorDrain.h"
#include "recording/VideoDrain.h"
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

}  // namespace

void AsfMuxThread(dr_common_t* dr) {
    std::printf("AM : ASF Mux       Thread Start [ppid=%d tid=%ld] ###\n", static_cast<int>(getppid()),
                static_cast<long>(syscall(SYS_gettid)));
    const std::string index_path = RecordingIndexPath();
    // The index is marked "START" while files are being written, so a power
    // cut in the middle is seen at the next start and the index rebuilt.
    SaveIndexFile(index_path.c_str(), "START");
    dr->eventinfo.in_event = 0;
    dr->eventinfo.event_led = 0;
    dr->eventinfo.drv_alert = 0;

    // The muxing of pictures, sound and sensor records runs here until the
    // close request. Until it does, the coded pictures and sound are taken
    // out of their buffers as the muxing would take them, so the capture
    // never finds them full (and, with DIVIV_DUMP_VIDEO, kept as an H.264
    // stream; with DIVIV_DUMP_AUDIO, as raw G.726).
    diviv::vce::VideoDrain video(diviv::vce::DumpVideoPath());
    diviv::audio::AudioDrain audio(diviv::audio::DumpAudioPath());
    // The G-sensor, pulse and contact records likewise (DIVIV_DUMP_SENSORS).
    diviv::sensors::SensorDrain sensors(diviv::sensors::DumpSensorsPrefix());
    // The GPS sentences likewise (DIVIV_DUMP_RMC).
    diviv::recording::RmcDrain rmc(diviv::recording::DumpRmcPath());
    while (dr->REQ_AM_CLOSE.load() == 0) {
        video.Poll(dr);
        audio.Poll(dr);
        sensors.Poll(dr);
        rmc.Poll(dr);
        dr_usleep(20000);
    }
    video.Poll(dr);
    audio.Poll(dr);
    sensors.Poll(dr);
    rmc.Poll(dr);

    std::printf("AM : Debug :: EXIT_LOOP\n");
    std::printf("AM : ####### Encoding reaches to endpoint ! [%d]\n", 0);
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

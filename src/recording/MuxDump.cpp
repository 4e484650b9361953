#include "recording/MuxDump.h"

#include "core/DR_common.h"
#include "recording/AudioDrain.h"
#include "recording/RmcDrain.h"
#include "recording/SensorDrain.h"
#include "recording/VideoDrain.h"

namespace diviv::mux {

bool StreamDumpRequested() {
    return !vce::DumpVideoPath().empty() || !audio::DumpAudioPath().empty() ||
           !sensors::DumpSensorsPrefix().empty() || !recording::DumpRmcPath().empty();
}

void DumpStreamsUntilClose(dr_common_t* dr) {
    vce::VideoDrain video(vce::DumpVideoPath());
    audio::AudioDrain sound(audio::DumpAudioPath());
    sensors::SensorDrain sensor(sensors::DumpSensorsPrefix());
    recording::RmcDrain rmc(recording::DumpRmcPath());
    auto poll = [&] {
        video.Poll(dr);
        sound.Poll(dr);
        sensor.Poll(dr);
        rmc.Poll(dr);
    };
    while (dr->REQ_AM_CLOSE.load() == 0) {
        poll();
        dr_usleep(20000);
    }
    poll();
}

}  // namespace diviv::mux

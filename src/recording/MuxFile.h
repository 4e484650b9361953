// One recording file's life: its name and length, the ASF writer opened
// with the first picture's capture time, the pictures, sound and sensor
// records up to a GOP boundary, the read-ahead of the next file's first
// picture with the sound topped up to it, the summaries, the event-file
// rename and the entry in the card's index.
#pragma once

#include "formats/AsfRecorderInit.h"
#include "recording/MuxState.h"

namespace diviv::mux {

enum class FileEnd {
    kNext,          // the file is complete; the next one follows
    kStop,          // a close request or single-file mode ended recording
    kCardFull,      // no room for another file: recording ends
    kCreateFailed,  // the ASF writer could not be created
};

// Records one file. `rectime` is the configured file length in seconds;
// `setup` is the ASF configuration the file is written with.
FileEnd RecordOneFile(MuxState& s, AsfRecorderSetup& setup, int rectime);

// At recording start: waits (60 ms steps) for the capture to start and then
// for a fifth of a second of video and 1000 bytes of sound.
void WaitForCapture(MuxState& s);

}  // namespace diviv::mux

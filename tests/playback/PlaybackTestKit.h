// Shared pieces of the playback tests: recordings made the way the recorder
// makes them (simulated camera pictures with their frame band, encoded by
// the recorder's encoder, sound coded as G.726, written by the ASF writer
// onto the simulated card), and a shared record with the playback threads
// started and stopped as the codec manager does.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/DR_shared.h"
#include "osd/MediaInfo.h"
#include "storage/indexf.h"
#include "support/SimBoardFixture.h"

namespace playtest {

struct RecordingSpec {
    int pictures = 90;   // at 30 per second
    int width = 640, height = 480;
    int bit_rate_kbps = 3000;
    int gop = 15;
    bool sound = true;
    bool scramble = false;
    std::array<uint8_t, 4> pass{};
};

struct Recording {
    std::string name;                  // file name as the file list gives it
    std::string path;                  // the file on the simulated card
    std::vector<uint8_t> stream;       // the Annex B stream, every picture back to back
    std::vector<size_t> picture_ends;  // end of each picture in `stream`
    std::vector<int16_t> sound;        // the sound recorded
    std::vector<uint8_t> codes;        // its G.726 code words as the file carries them
};

// Writes a recording onto the card of the board at `root`
// (card folder "/mnt/mmc0_p1"); frame band numbers 0..pictures-1, the
// second marker on every 30th, a click in the sound every second.
Recording MakeRecording(const std::string& root, const std::string& name, const RecordingSpec& spec);

// Console lines `text` holds equal to `line`.
int CountLines(const std::string& text, const std::string& line);

}  // namespace playtest

// A simulated board with a shared record ready for playback: ring buffers,
// codec configuration, media information, the card folder.
class PlaybackTest : public SimBoardTest {
protected:
    void SetUp() override;
    void TearDown() override;

    dr_common_t* dr() { return record_.get(); }

    // Selects the file and starts the five playback threads (preview when
    // `preview`), capturing the console.
    void Start(const std::string& name, bool preview = false);
    // Waits until the mode ends by itself (REQ_CLOSE); false at the deadline.
    bool WaitForModeEnd(int timeout_ms);
    // Requests every thread's close and waits for them to end, in the codec
    // manager's order. Returns the console output since Start. False in
    // *all_ended when a thread did not end.
    std::string Stop(bool* all_ended);
    // Starts only the demultiplexer (other threads' flags stay 0).
    void StartDemuxOnly(const std::string& name);

    std::unique_ptr<dr_common_t> record_;
    std::unique_ptr<codec_config_t> config_;
    MediaInfo_t info_{};
    SDC_Info_t sd_{};
};

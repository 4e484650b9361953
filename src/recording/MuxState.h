// The recording writer's state: what one writer thread keeps while it
// writes one file after another. Owned by the writer thread alone; the
// modules MuxVideo, MuxAudio, MuxSensors and MuxFile work on it.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "core/DR_shared.h"
#include "formats/AsfMultiplexer.h"
#include "formats/AsfRecorderInit.h"
#include "platform/GpsRecord.h"
#include "platform/SensorRecords.h"
#include "recording/EventDetect.h"
#include "recording/VideoInfo.h"

namespace diviv::mux {

// One picture buffer holds the largest picture the capture hands over.
inline constexpr size_t kPictureBufferBytes = 1 << 20;
inline constexpr size_t kAudioBufferBytes = 20 * 1024;

struct MuxState {
    dr_common_t* dr = nullptr;
    codec_config_t* cfg = nullptr;
    // The encoder's settings as the recording started: it keeps its GOP,
    // rate and bit rate to the end, so a configuration changed meanwhile (a
    // host command restoring the defaults) must not move the file ends off
    // its key pictures.
    uint32_t gop = 0;
    float enc_fps = 0;
    int32_t bps = 0;

    // The open file's writer; null between files.
    ASF_MUX_CONTEXT* asf = nullptr;

    // Presentation times in ms, 0 at each file start.
    uint32_t dwVPTS = 0;  // current picture
    uint32_t dwAPTS = 0;  // next audio packet
    uint32_t dwDPTS = 0;  // next sensor slot
    int nFrameCount = 0;          // pictures written in this file
    int nTotalFrameNumber = 0;    // picture limit of this file
    int record_seconds = 0;       // record time of this file
    uint32_t DFrameNum = 0;       // frame number of the file's first key picture
    bool GetFirstKeyFrame = true; // waiting for the file's first key picture
    bool ContinuouesEncoding = false;  // `picture` was read ahead at the previous file's end
    bool id_pending = true;       // the ID record is still to be written in this file

    // Hold flags: a record read belongs to a later picture and is kept.
    bool PassRMC = false, PassPULSE = false, PassCONTIN = false;
    gps_buffer rmc{};
    pulse_input_buffer pulse{};
    cont_input_buffer contin{};

    // Audio: packets written since recording started (the 30 Hz count the
    // file-end top-up compares with), the cycle position of the next packet
    // taken from abs_buf, and the pending start-of-file correction.
    int64_t audio_packets_written = 0;
    int audio_cycle = 0;
    int nAdjustAudio = 0;

    GssSlotState gss;                             // G-sensor slots, across files
    char gsens_char[kGssTextSize] = {};           // the last G-sensor text
    int gsens_len = 0;                            // its length, 0 before the first
    std::string IDBuf;                            // the ID record

    video_info_t picture{};   // description of the current picture
    dr_timeval CurrentFrameTime{};
    dr_timeval CurrentAudioTime{};  // time stamp of the audio block being taken
    bool have_audio_stamp = false;  // CurrentAudioTime holds a stamp from ainfo_buf
    double StartVideoTime = 0, StartAudioTime = 0;  // first written times, for the log
    bool video_started = false, audio_started = false;

    std::vector<uint8_t> video_buf = std::vector<uint8_t>(kPictureBufferBytes);
    std::vector<uint8_t> crypt_buf = std::vector<uint8_t>(kPictureBufferBytes);
    std::vector<uint8_t> audio_buf = std::vector<uint8_t>(kAudioBufferBytes);

    bool closing() const { return dr->REQ_AM_CLOSE.load() != 0; }
};

// Writes one media object of `type` (ASF_MUX_DATA_TYPE) at pts_ms. The
// writer's answer is not looked at: an object it refuses is lost.
void WriteObject(MuxState& s, int type, const uint8_t* data, uint32_t length, uint32_t pts_ms, bool key);
// A text record of the binary stream (always flagged as key).
void WriteText(MuxState& s, const std::string& text, uint32_t pts_ms);

}  // namespace diviv::mux

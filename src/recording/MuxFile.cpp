#include "recording/MuxFile.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/DR_common.h"
#include "platform/Mount.h"
#include "recording/MuxAudio.h"
#include "recording/MuxRules.h"
#include "recording/MuxSensors.h"
#include "recording/MuxVideo.h"
#include "storage/SDFunc.h"

namespace diviv::mux {

namespace {

constexpr uint32_t kCaptureWaitUs = 60000;
constexpr uint32_t kRoundSleepUs = 1000;
constexpr const char* kCardPoint = "/mnt/mmc0_p1";

void Copy(char (&dst)[80], const char* src) { std::snprintf(dst, sizeof dst, "%s", src); }

void ResetFileState(MuxState& s) {
    s.dwVPTS = s.dwAPTS = s.dwDPTS = 0;
    s.nFrameCount = 0;
    s.GetFirstKeyFrame = true;
    s.id_pending = true;
    s.dr->SizeOfASF = 0;
}

// Audio and G-sensor alignment with the file's first picture.
void AlignStreams(MuxState& s, const dr_timeval& picture_time) {
    const double video = StampSeconds(picture_time);
    const double audio = NextAudioSeconds(s);
    const double diff = video - audio;
    std::printf("AM : Timestamp Video=[%10.03f] Audio=[%10.03f] Diff=[%2.03f]\n", video, audio, diff);
    s.nAdjustAudio = AudioAdjustment(diff);
    std::printf("AM : Adjust audio data %d [packet]\n", s.nAdjustAudio);
    StartSensorSlots(s, picture_time);
}

// The main loop of one file. False when a close request ended it.
bool MuxPictures(MuxState& s) {
    while (!s.closing()) {
        if (FileEnds(s.dwVPTS, s.record_seconds, s.nFrameCount, s.gop, s.nTotalFrameNumber)) return true;
        if (ReadPictureInfo(s) != PictureRead::kReady) continue;
        if (!TakePictureBytes(s)) continue;
        FillSensorSlots(s);
        // The picture is not written ahead of its sound.
        if (!WriteAudioUntil(s, s.dwVPTS)) break;
        WritePicture(s);
        WriteGpsRecord(s);
        WritePulseRecord(s);
        WriteContactRecord(s);
        dr_usleep(kRoundSleepUs);
    }
    return false;
}

// After the read-ahead: when pictures are missing before the next one, the
// sound is written on up to it, so this file's sound lasts as long as its
// pictures and the next file starts in step. Without a gap the sound is
// written to the end of the last picture: sound up to only its start would
// leave each file one packet short, and the next file's start would find
// the sound a packet further behind every time (then dropped, 100 ms at a
// time, as a correction).
void TopUpAudio(MuxState& s) {
    const uint32_t next = VideoPts(s.picture.FrameTime, s.DFrameNum);
    if (next > s.dwVPTS + 34 && s.audio_packets_written < static_cast<int64_t>(s.picture.FrameTime)) {
        std::printf("AM : Write additional audio VPTS=%u APTS=%u\n", next, s.dwAPTS);
        WriteAudioUntil(s, AudioTopUpEnd(next));
    } else if (next > s.dwVPTS) {
        WriteAudioUntil(s, LastPictureSoundEnd(next));
    }
}

void WriteSummaries(MuxState& s) {
    char text[kSummaryTextSize];
    const int trip = FormatTripSummary(s.dr->eventinfo, text);
    WriteObject(s, ASF_MUX_DATA_TYPE_BINARY, reinterpret_cast<const uint8_t*>(text), static_cast<uint32_t>(trip),
                s.dwVPTS, true);
    const int events = FormatEventSummary(s.dr->eventinfo, s.dr->idling_limit, text);
    WriteObject(s, ASF_MUX_DATA_TYPE_BINARY, reinterpret_cast<const uint8_t*>(text),
                static_cast<uint32_t>(events), s.dwVPTS, true);
}

// Renames an event file ("FILE" -> "SAV" + kind); name and path follow.
void RenameEventFile(MuxState& s, char (&name)[32], std::string* path) {
    const event_info_forAfile& e = s.dr->eventinfo;
    if (!IsEventFile(e)) return;
    std::printf("AM : This file is event-file! (Steer:%d,Accel:%d,Break:%d,Contact-in:%d)\n", e.cnt_steer,
                e.cnt_accel, e.cnt_break, e.cnt_contactin);
    char event_name[32];
    std::snprintf(event_name, sizeof event_name, "%s", name);
    ChangeEventFname(event_name, &s.dr->eventinfo);
    char event_path[kSDPathMax];
    MakeSDfilePath(event_path, s.dr->sdinfo->path_name, event_name, sizeof event_path);
    if (*path == event_path) return;
    if (std::rename(path->c_str(), event_path) != 0) {
        std::printf("AM : Can not rename file [%s to %s]\n", path->c_str(), event_path);
        return;
    }
    std::memcpy(name, event_name, sizeof name);
    *path = event_path;
    Copy(s.cfg->rec_name, name);
    Copy(s.cfg->asf_name, event_path);
}

}  // namespace

void WaitForCapture(MuxState& s) {
    while (!s.closing() && s.dr->CaptureStart.load() == 0) dr_usleep(kCaptureWaitUs);
    const int video_bytes = s.bps * 1000 / 8 / 5;
    while (!s.closing() && (DR_GetRingBufferReadAvailable(&s.dr->abs_buf) < 1000 ||
                            DR_GetRingBufferReadAvailable(&s.dr->vbs_buf) < video_bytes)) {
        dr_usleep(kCaptureWaitUs);
    }
}

FileEnd RecordOneFile(MuxState& s, AsfRecorderSetup& setup, int rectime) {
    dr_common_t* dr = s.dr;
    codec_config_t* cfg = s.cfg;
    ResetFileState(s);
    // The file's first picture: the one read ahead at the previous file's
    // end, or the first picture captured.
    const dr_timeval start = s.ContinuouesEncoding ? s.picture.CaptureTime : dr->RecStartTime;
    const uint64_t creation = AsfCreationDate(start.tv_sec, start.tv_usec);
    std::printf("AM : Debug :: CreationDate = %lld  [CaptureTime is %10.3f]\n", static_cast<long long>(creation),
                StampSeconds(start));

    int index = 0;
    char name[32] = {};
    const int seconds = GetNextFile(&index, name, dr->sdinfo, s.bps, cfg->recmode == 1 ? 0 : rectime,
                                    SharedSetting(dr->protect_ev));
    if (seconds < 0) {
        dr->SD_Full = 1;
        dr->SDErrorState = 1;
        dr->REQ_CLOSE = 1;
        std::printf("AM : SD Card is Full\n");
        return FileEnd::kCardFull;
    }
    char full_path[kSDPathMax];
    MakeSDfilePath(full_path, dr->sdinfo->path_name, name, sizeof full_path);
    std::string path = full_path;
    Copy(cfg->rec_name, name);
    Copy(cfg->asf_name, full_path);
    SetSharedSetting(cfg->rectime, seconds);
    s.record_seconds = seconds;

    s.nTotalFrameNumber = PictureLimit(seconds, s.enc_fps, s.gop);
    dr->count = s.nTotalFrameNumber;
    const int time_per_frame = s.enc_fps > 0 ? static_cast<int>(10000000 / s.enc_fps) : 0;
    std::printf("AM : Next File is %s\n", path.c_str());
    std::printf("AM : Record Time is %d [sec] FrameNum=%d TimePerFrame=%d\n", seconds, s.nTotalFrameNumber,
                time_per_frame);

    MakeRecorderMuxInit(setup, path.c_str(), cfg->width, cfg->height, static_cast<uint32_t>(s.bps) * 1000,
                        static_cast<uint32_t>(s.enc_fps), creation);
    s.asf = ASF_Mux_Create(&setup.init);
    if (s.asf == nullptr) {
        std::printf("AM : Error! Can't create context!\n");
        DR_SYSLOG(DR_ERR_SURVIVABLE, "Failure of initialization.", 0);
        return FileEnd::kCreateFailed;
    }

    AlignStreams(s, start);
    std::printf("AM : Reset event informations.\n");
    dr->MuxReady = 1;
    ResetFileEventInfo(&dr->eventinfo);

    if (MuxPictures(s) && ReadAheadPicture(s)) TopUpAudio(s);

    WriteSummaries(s);
    std::printf("AM : ASF_Mux_Close\n");
    ASF_Mux_Close(s.asf);
    s.asf = nullptr;
    std::printf("AM : ASF_Mux_Closed\n");

    RenameEventFile(s, name, &path);
    // A finished file is entered in the index only once its data and name are
    // on the card: the index is saved only when a run starts and ends, and a
    // power cut in between must not take back a file that counts as finished.
    diviv::SyncCardFileAt(path.c_str());
    std::printf("AM : GetSDCap() \n");
    GetSDCap(kCardPoint, dr->sdinfo);
    std::printf("AM : SetFileInfo() \n");
    SetFileInfo(kCardPoint, name, dr->sdinfo, s.bps, cfg->vfmt, static_cast<int>((s.dwVPTS + 500) / 1000));
    std::printf("AM : Recorded Total Frame Count = %d [PTS = %u]\n", s.nFrameCount, s.dwVPTS);

    if (cfg->recmode == 2 || s.closing()) {
        std::printf("AM : Get Close Request\n");
        return FileEnd::kStop;
    }
    return FileEnd::kNext;
}

}  // namespace diviv::mux

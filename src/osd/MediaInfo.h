// Media information of the file being played, as the playback manager fills
// it and the media-information window shows it.
#pragma once

#include <cstdint>

enum AudioStd : int32_t { G726 = 0, MP3 = 1, AAC = 2, NotDefinedAudio = 3 };
enum VideoStd : int32_t { H264 = 0, H263 = 1, MPEG4 = 2, NotDefinedVideo = 3 };

struct MediaInfo_t {
    char filename[256];    // the file name as selected
    AudioStd audioformat;
    VideoStd videoformat;
    int32_t bitrate;       // video data bit rate, bits per second
    int32_t duration;      // seconds
    uint32_t width, height;  // encoded picture size
    int32_t TimeParFrame;  // average time per frame, milliseconds
};

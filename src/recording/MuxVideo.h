// The recording writer's pictures: descriptions from vinfo_buf, bytes from
// vbs_buf, the file's first key picture, the read-ahead at a file's end and
// the scrambling of key pictures.
#pragma once

#include "recording/MuxState.h"

namespace diviv::mux {

enum class PictureRead {
    kReady,    // s.picture describes the next picture to write; dwVPTS set
    kDropped,  // a picture before the file's first key picture was dropped
    kNone,     // no description yet (after the 200 ms wait)
};

// Takes the next picture description: the one read ahead at the previous
// file's end, else one from vinfo_buf.
PictureRead ReadPictureInfo(MuxState& s);

// Takes the current picture's bytes into s.video_buf and counts them into
// SizeOfASF. Returns the length, or -1 while they are not all there (nothing
// is taken then; the caller waits and asks again).
int ReadPictureBytes(MuxState& s);

// Takes the current picture's bytes, trying again every 10 ms while they
// are not all there. False when a close request ended the wait, or when the
// picture is larger than the picture buffer (its bytes are then dropped).
bool TakePictureBytes(MuxState& s);

// Writes the current picture at dwVPTS, scrambled when it is a key picture
// and scrambling is on; counts it into nFrameCount.
void WritePicture(MuxState& s);

// At a file's end: waits (30 ms steps) for the next picture's description
// and keeps it for the next file. False when a close request came first.
bool ReadAheadPicture(MuxState& s);

}  // namespace diviv::mux

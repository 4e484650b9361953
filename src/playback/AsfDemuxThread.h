// Demultiplexer: reads the selected recording, fills the media information,
// and splits the file into vbs_buf (whole pictures), pts_buf (one 32-bit
// presentation time in ms per picture) and abs_buf (G.726 code words).
// Key pictures of a scrambled recording are descrambled with the pass code.
#pragma once

#include <cstddef>

#include "core/DR_shared.h"

// Thread body; started by the codec manager with the shared record.
void AsfDemuxThread(dr_common_t* dr);

namespace diviv::playback {

inline constexpr size_t kDemuxReadChunk = 32768;       // bytes read at a time; the buffer's first size
inline constexpr size_t kDemuxBufferGrowth = 16384;    // the read buffer grows by this much
inline constexpr size_t kFrameAssemblySize = 1048576;  // largest picture the demultiplexer assembles
inline constexpr int kDecodeReleaseBytes = 262144;     // video bytes buffered before decoding starts

}  // namespace diviv::playback

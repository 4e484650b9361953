// Mode control: prepares the shared record for one mode (recording, live
// monitor, playback, preview, transcode) and starts or stops the codec
// manager that runs it. Called on the main thread only.
#pragma once

#include <cstdint>

// mode 1 starts, 0 stops. Start: 0; -1 card unusable or absent; -2 a codec
// manager still runs. Stop: 0.
int RecordControl(int32_t DownQID, int32_t UpQID, int mode);
// flag 1 starts the live monitor, 0 stops it. Returns 0.
int MonitorControl(int flag);
// Plays / previews the selected index entry. 0; -2 bad index; -3 a codec
// manager still runs; -4 the file is too small.
int PlaybackControl(int listnum);
int PreViewControl(int listnum);
int PlaybackStop();
int PreViewStop();
// 1 when the codec manager has ended, -1 if it still runs after ~50 s.
int CheckThreadStop();
// flag 1 starts transcode mode, 0 stops it.
int TranscodeControl(int32_t DownQID, int32_t UpQID, int flag);

// Drains the seven worker queues (AC_QID and AE_QID are 0 and skipped by
// the queue layer).
void ClearWorkerQueues();

// Starts recording from the idle state (a key, a host command, the main
// loop): on success the recorder is in STATE_REC and the next file list
// starts at the newest file. False when the start was refused.
bool StartRecordingFromIdle();

// Unmounts both card partitions with their console lines. The caller has
// synchronised the card and checked that it is present.
void UnmountCardPartitions();

// Asks the GPS receiver to end: up to `rounds` requests 0.5 s apart.
void StopGpsReceiver(int rounds);

// Smallest recording that can be played back, in bytes.
inline constexpr long kMinPlayableFileSize = 131072;

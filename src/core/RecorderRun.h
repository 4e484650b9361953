// The main program's own records and the steps its files share: start-up
// (RecorderStartup.cpp), the main loop (RecorderMainLoop.cpp) and the three
// shutdown roads (RecorderShutdown.cpp). DriveRecorderMain strings them
// together. Main thread only.
#pragma once

#include <memory>
#include <string>

#include "core/DR_shared.h"
#include "osd/MediaInfo.h"
#include "osd/dfb_osd_window_design.h"
#include "osd/osd.h"
#include "storage/SDFunc.h"
#include "storage/indexf.h"

namespace app {

// Records the main thread allocates at start-up and frees at its orderly end.
extern std::unique_ptr<dr_common_t> g_dr;
extern std::unique_ptr<codec_config_t> g_cfg;
extern SDC_Info_t g_sdcinfo;
extern SDC_Info_t g_micro_sdinfo;
extern MediaInfo_t g_mediainfo;
extern std::unique_ptr<SDC_Files_t[]> g_files;
extern INITDISP_DATA_t g_initdisp;
extern bool g_ring_buffers_made;

// --- start-up, in the order DriveRecorderMain calls them ----------------
// Banner, system and version lines; returns the version text.
std::string PrintBanner(std::string* system_line, std::string* release_line);
// The shared record, codec configuration and file table. False (after the
// fatal log) when memory runs out.
bool AllocateSharedRecords();
// The on-screen display with the start screen and the date screen's hooks.
void StartDisplay(const std::string& version, const std::string& system_line, const std::string& release_line);
// Timer, key and power input threads, the first port reading, the camera
// inputs and the queue folders.
void StartInputs();
// Links the card records, file table and media information into the record.
void LinkSharedRecords();
// Everything that needs ignition and supply power: buffers, queues, card
// checks, parameters, queue ids, the start screen's 3 s, GPS and captions.
// False when the recorder must not reach its main loop; *bad_queue_ids tells
// the orderly end (unusable queue ids) from a power road.
bool StartRecorder(int argc, char** argv, bool* bad_queue_ids);

// Shared by the loop and shutdown.
void ServeBoardRequests();
void ShowNoCardScreen();
void TakeCardIntoUse();
void ReleaseCaptionLayers(dr_common_t* dr);
[[noreturn]] void LogDumpMode();

// --- main loop --------------------------------------------------------------
// Returns when the recorder is to shut down (ExitByACC / ExitByPWR_DET say why).
void MainLoop();

// --- shutdown -----------------------------------------------------------------
void SyncAndUnmount();
// Host command 0 or unusable queue ids: stop the mode, delete the queues,
// free everything; status 0.
int OrderlyEnd();
// The road ExitByPWR_DET / ExitByACC name, else the orderly end.
int Shutdown();

}  // namespace app

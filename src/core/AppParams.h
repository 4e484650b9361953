// The application's parameter operations: the working copy of the parameter
// record (eepd) and the moves between it, the EEPROM, the setup file and the
// shared state (dr_common_t and its codec_config_t).
//
// All of these run on the main thread (start-up, card events, host commands,
// keys); they read and write drc without locks while no mode runs, or touch
// only settings that the workers read at their start.
#pragma once

#include "config/param_ini.h"

// The working copy: host commands change single fields in it and in the
// shared state; start-up loads it; SetLocalParams applies it.
extern Eep_data eepd;
// The last load or save through these operations succeeded.
extern int EepROM_OK;

// Applies eepd to the shared state and the codec configuration, selects the
// camera mode, stamps this application's version into the EEPROM once when
// the record was written by another version. Returns 1.
int SetLocalParams();
// Fills *eep from the shared state and saves it. Returns the save's code.
int SetEepParam(Eep_data* eep);
// Restores the factory defaults into *eep, saves them and applies eepd.
// Returns the save's code.
int SetDefaultEepParam(Eep_data* eep);
// Writes 512 bytes of 0xFF: the next start treats the EEPROM as blank.
int SetFF_EepParam();
// Loads and merges the setup file when a card carrying one is found.
// Returns 0, or -1 when the file cannot be opened while the EEPROM is good.
int ReadINIFile();
// Makes the preset named by vqsel the active one and prints the settings.
// Returns 1.
int ShowParameters();
// Selects the camera picture: 0 the four-camera split, 1..4 one camera.
// Returns 1, or -1 for another value (nothing changes) or when the camera
// driver does not take the mode.
int SetCameraMode(int c);

// The start-up parameter step: loads eepd from the EEPROM (defaults on
// failure), merges or creates the setup file when param_source is 1 and the
// card is ready (mounted, no card error), and sets EepROM_OK. Returns 0 or
// the load's code. The caller then applies the record (SetLocalParams).
int LoadStartupParams(int param_source, bool card_ready);

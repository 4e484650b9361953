// The recording writer's binary stream: the ID record, one G-sensor text
// per 10 ms slot of video time, and the GPS, pulse and contact records of
// each picture, each record handed to the event rules as it is stored.
#pragma once

#include "recording/MuxState.h"

namespace diviv::mux {

// At a file's start: how the G-sensor slots line up with the file's first
// picture (captured at picture_time).
void StartSensorSlots(MuxState& s, const dr_timeval& picture_time);

// Fills the sensor slots up to the current picture's time: the ID record
// first in each file, then a G-sensor text every 10 ms (the previous one
// again when no sample came); with the G-sensor off the slot moves on to
// the next whole second.
void FillSensorSlots(MuxState& s);

// The GPS, pulse and contact records that belong to the picture just
// written (records newer than it are held for a later picture).
void WriteGpsRecord(MuxState& s);
void WritePulseRecord(MuxState& s);
void WriteContactRecord(MuxState& s);

}  // namespace diviv::mux

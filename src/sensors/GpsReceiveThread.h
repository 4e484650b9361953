// GPS receiver: NMEA sentences from the GPS module on "/dev/ttymxc1"; the
// data-valid flag, the real-time clock set from satellite time, RMC records
// into rmc_buf while a recording is encoded, copies to UART3. Runs from
// start-up to shutdown (sequences in sensors/GpsReceiver.h).
#pragma once

#include "core/DR_shared.h"
#include "platform/GpsRecord.h"

// Thread body; started with the shared record when GPS is enabled. Clears
// GPS_ALIVE as its last act.
void GpsReceiveThread(dr_common_t* dr);

// Puts one sentence (the 100-byte sentence buffer) with the time of day
// into rmc_buf as one gps_buffer, for the process's record (drc). Nothing
// while a stop is requested (0); a full buffer drops the record (logged,
// "GPS : #### RMC Buffer is FULL !! ###" printed once). Return: the ring
// buffer's result, or 0.
int put_rmc(const char* rmcstr);

// Examines one received sentence (from "$", with its CR, without the LF).
// Only "$GPRMC" sentences: status "A" keeps GPSReceiveDataValid at 1 and
// sets the real-time clock the first time in the process and whenever
// *rtccnt (seconds since the last setting) exceeds 3600, resetting it on
// success; "V" clears GPSReceiveDataValid. While GPSWriteRmcData and
// EncodeStart are both set the sentence goes to rmc_buf.
void ChkRmc(dr_common_t* drc, const char* buf, int* rtccnt);

// Sets the real-time clock ("/dev/rtc") to the sentence's UTC time and date
// plus 9 hours, as local time. Return: 0, or -1 (malformed time or date,
// device failures).
int GpsRTC(const char* srmc);

// Forgets what the process remembers across receiver threads (the clock
// was set, the full buffer was reported). For tests.
void GpsForgetProcessState();

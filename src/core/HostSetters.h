// Settings the supervising host changes: the setters with their rules, and
// the commands that set one field of the shared record.
//
// A setting that names a field of the parameter record is stored both in the
// shared record and in the working copy eepd; nothing reaches the EEPROM or
// the setup file until the host asks for a save. Main thread only.
#pragma once

// Seconds per recording file: n > 0 is taken; 0 means one continuous file
// (rectime 0, recmode 1); a negative n sets 60 and fails. 0, or -1.
int SetRecordingTime(int n);

// Preset frame rates (frames/s): a positive value is taken, zero or a
// negative one sets 30 (H), 20 (M) or 10 (L) and fails. The preset's GOP
// length in frames follows: frame rate x GOP seconds. 0, or -1.
int SetVideoFrameRateH(int fps);
int SetVideoFrameRateM(int fps);
int SetVideoFrameRateL(int fps);

// Preset bit rates (kbit/s): a positive value is taken, zero or a negative
// one sets 2048 (H) or 1024 (M) and fails; L fails and keeps its value.
int SetVideoBitRateH(int kbps);
int SetVideoBitRateM(int kbps);
int SetVideoBitRateL(int kbps);

// Preset GOP lengths in seconds; the length in frames becomes seconds x
// frame rate. A negative length is refused and changes nothing: as an
// unsigned count it would be a GOP that never ends, and a recording file
// closes only at a GOP boundary. 0, or -1.
int SetVideoGOPH(int sec);
int SetVideoGOPM(int sec);
int SetVideoGOPL(int sec);

// Automatic recording and event-file protection: 0 (ON) or 1 (OFF), printed
// as such; another value fails. 0, or -1.
int SetAutoRecMode(int m);
int SetProtectEV(int m);

// Minutes of recording after ignition off, 0 to 90. 0, or -1.
int SetRecStopTime(int m);

// Runs host command `command` when it sets a field (commands 17, 18, 22,
// 23, 37, 72..75, 81..83, 101..118): `param` is its integer parameter,
// `text` the 64-byte text parameter of 72..75, 115 and 116. The limits
// (102..107, 111) and the flags (108..110) refuse values above their maximum
// and negative ones, keeping the old value. False for any other command.
bool RunFieldCommand(int command, int param, const char* text);

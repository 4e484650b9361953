// Logging and timing utilities used by every thread.
#pragma once

#include <cstdint>
#include <string>

// Failure codes of the persistent log.
inline constexpr uint32_t DR_ERR_SURVIVABLE = 0x00000000u;
inline constexpr uint32_t DR_ERR_FATAL = 0xf0000000u;

// Ends the process at once with `status`, its output flushed. Other threads
// may still run: the process's static objects are not destroyed under them
// (std::exit would), which a thread still using them would find freed.
[[noreturn]] void EndProcess(int status);

// Runs the board's log program with one argument
// "0x%08x,<msg>,<file>,<function>,L<line>" (message cut to 256 characters,
// the whole command line to 528 characters). Returns the program's exit
// status. With reboot == 1 and a watchdog time set, writes "2\n" to the power
// controller and ends the process with status 1.
int DR_SysLog(uint32_t ErrCode, const char* Msg, const char* FileName, const char* FunctionName,
              int LineNumber, int reboot);

// The one argument DR_SysLog passes to the log program (without quotes),
// exactly as the board's shell would have passed it.
std::string DR_SysLogArgument(uint32_t ErrCode, const char* Msg, const char* FileName,
                              const char* FunctionName, int LineNumber);

// Logs with the calling file, function and line.
#define DR_SYSLOG(code, msg, reboot) DR_SysLog((code), (msg), __FILE__, __func__, __LINE__, (reboot))

// WDT_ENABLE as a decimal number when it lies in 11..127, else 0.
int getWDTtime();

// Sleeps the full time even when signals (the 100 ms timer) interrupt it.
int dr_usleep(uint32_t usec);
// As dr_usleep; returns at once for 0.
int dr_taskwait(uint32_t usec);

// One process-wide mark: reset != 0 sets it to now and returns 0; otherwise
// returns the whole seconds since the mark.
long GetElapsedTime(int reset);

// Execution of host commands on the main thread.
#pragma once

// Runs one host command. Returns 1, or 0 for command 0 (ends the main loop).
int MonCommand(int command, int param, const char* ComStrBuf);

// Decoding one received host message (commsg_t, 64 bytes): the command in
// word 0, then either the integer parameter in word 1 or, for the commands
// that carry a text (72..75 the identifiers, 115 and 116 the pass code), the
// text in bytes 4..63 up to its zero byte.
#pragma once

#include "core/DR_shared.h"

// True for the commands whose parameter is a text.
bool TakesTextParameter(int command);

// *command receives word 0. A text parameter goes into ComStrBuf (64 bytes,
// cleared first, so it always ends with a zero byte even when the sender put
// none); otherwise *param receives word 1 and ComStrBuf is left alone.
// Returns the command the acknowledgement echoes (40 is answered with 41).
int DecodeHostCommand(const commsg_t& in, int* command, int* param, char* ComStrBuf);

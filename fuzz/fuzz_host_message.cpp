// A 64-byte message from the host as the main loop receives it: the command
// and its integer parameter, or its text parameter, which must always end
// inside the 64-byte text buffer with nothing left from the message before.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "FuzzBoard.h"
#include "core/HostMessage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The queue delivers only whole 64-byte texts: a shorter input is the
    // start of one, the rest zero.
    commsg_t in;
    std::memset(&in, 0, sizeof in);
    std::memcpy(&in, data, std::min(size, sizeof in));
    int command = -12345, param = -12345;
    char text[sizeof(commsg_t)];
    std::memset(text, 'x', sizeof text);  // what an earlier message left
    const int echo = DecodeHostCommand(in, &command, &param, text);
    if (command != in.MsgLong[0]) __builtin_trap();
    if (echo != (command == 40 ? 41 : command)) __builtin_trap();
    if (TakesTextParameter(command)) {
        const size_t len = strnlen(text, sizeof text);
        if (len == sizeof text || len > sizeof text - 4) __builtin_trap();
        if (std::memcmp(text, in.MsgData + 4, len) != 0) __builtin_trap();
        for (size_t i = len; i < sizeof text; ++i)
            if (text[i] != 0) __builtin_trap();
        if (param != -12345) __builtin_trap();
    } else {
        if (param != in.MsgLong[1]) __builtin_trap();
        if (text[0] != 'x') __builtin_trap();
    }
    return 0;
}

#include "core/HostMessage.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr size_t kMessageSize = sizeof(commsg_t);

int32_t Word(const commsg_t& m, int index) {
    int32_t v;
    std::memcpy(&v, m.MsgData + 4 * index, sizeof v);
    return v;
}

}  // namespace

bool TakesTextParameter(int command) { return (command >= 72 && command <= 75) || command == 115 || command == 116; }

int DecodeHostCommand(const commsg_t& in, int* command, int* param, char* ComStrBuf) {
    const int cmd = Word(in, 0);
    *command = cmd;
    if (TakesTextParameter(cmd)) {
        // The whole text up to its zero byte, nothing left from an earlier one.
        std::memset(ComStrBuf, 0, kMessageSize);
        const size_t len = ::strnlen(in.MsgData + 4, kMessageSize - 4);
        std::memcpy(ComStrBuf, in.MsgData + 4, len);
        std::printf(cmd >= 115 ? "Receive PWD = %s\n" : "Receive ID = %s\n", ComStrBuf);
    } else {
        *param = Word(in, 1);
    }
    return cmd == 40 ? 41 : cmd;
}

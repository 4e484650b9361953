#include "platform/PowerPort.h"

#include <fcntl.h>
#include <unistd.h>

#include "platform/BoardPath.h"

namespace diviv {

bool WritePowerCommand(std::string_view command) {
    const bool sim = IsSimBoard();
    const std::string path = BoardPath(sim ? kSimPowerCommandLog : "/proc/driver/power");
    const int flags = sim ? (O_WRONLY | O_APPEND | O_CREAT) : O_WRONLY;
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const ssize_t n = ::write(fd, command.data(), command.size());
    ::close(fd);
    return n == static_cast<ssize_t>(command.size());
}

std::string ReadPowerState() {
    const int fd = ::open(BoardPath("/proc/driver/power").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    char buf[64];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    ::close(fd);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

}  // namespace diviv

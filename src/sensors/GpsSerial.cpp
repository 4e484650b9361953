#include "sensors/GpsSerial.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/Board.h"

namespace diviv::gps {

namespace {

class TtyLine final : public SerialLine {
public:
    explicit TtyLine(OwnedFd fd) : fd_(std::move(fd)) {}

    int ReadChar(char* c) override {
        ssize_t n;
        do {
            n = ::read(fd_.get(), c, 1);
        } while (n < 0 && errno == EINTR);
        if (n == 1) return 1;
        if (n == 0 || errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        return -errno;
    }

    ssize_t Write(std::string_view text) override {
        ssize_t n;
        do {
            n = ::write(fd_.get(), text.data(), text.size());
        } while (n < 0 && errno == EINTR);
        return n < 0 ? -errno : n;
    }

private:
    OwnedFd fd_;
};

}  // namespace

int SetupRawSerial(int fd, speed_t speed) {
    termios tio{};
    tio.c_cflag = CS8 | CLOCAL | CREAD;
    tio.c_iflag = IGNPAR;
    tio.c_oflag = 0;
    tio.c_lflag = 0;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (::cfsetispeed(&tio, speed) != 0 || ::cfsetospeed(&tio, speed) != 0) return -EINVAL;
    if (::tcflush(fd, TCIFLUSH) != 0) return -errno;
    if (::tcsetattr(fd, TCSANOW, &tio) != 0) return -errno;
    return 0;
}

std::unique_ptr<SerialLine> OpenSerialLine(std::string_view board_path, speed_t speed, PortFailure* failure) {
    int error = 0;
    OwnedFd fd = TheBoard().OpenSerialPort(board_path, O_RDWR | O_NOCTTY | O_NONBLOCK, &error);
    if (!fd) {
        *failure = PortFailure::kOpen;
        return nullptr;
    }
    if (SetupRawSerial(fd.get(), speed) != 0) {
        *failure = PortFailure::kSetup;
        return nullptr;
    }
    *failure = PortFailure::kNone;
    return std::make_unique<TtyLine>(std::move(fd));
}

}  // namespace diviv::gps

#include "platform/linux/LinuxBoard.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>

#include "platform/BoardPath.h"
#include "platform/AvcodecDecoder.h"
#include "platform/X264Encoder.h"

namespace diviv::linux_board {

int LastError() { return errno != 0 ? -errno : -EIO; }

namespace {

// A board path with or without the board root in front, as a path to open.
std::string Rooted(std::string_view path) {
    const std::string root = BoardRoot();
    if (!root.empty() && path.substr(0, root.size()) == root &&
        (path.size() == root.size() || path[root.size()] == '/'))
        return std::string(path);
    return BoardPath(path);
}

int OpenRetrying(const std::string& path, int flags, mode_t mode = 0) {
    int fd;
    do {
        fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

}  // namespace

int WriteBoardFile(std::string_view board_path, std::string_view text, int flags) {
    OwnedFd fd(OpenRetrying(BoardPath(board_path), flags, 0644));
    if (!fd) return LastError();
    ssize_t n;
    do {
        n = ::write(fd.get(), text.data(), text.size());
    } while (n < 0 && errno == EINTR);
    if (n < 0) return LastError();
    return n == static_cast<ssize_t>(text.size()) ? 0 : -EIO;
}

// --- devices -------------------------------------------------------------

int LinuxDevice::DoIoctl(unsigned long request, void* arg) {
    int rc;
    do {
        rc = ::ioctl(fd_.get(), request, arg);
    } while (rc < 0 && errno == EINTR);
    return rc < 0 ? LastError() : rc;
}

ssize_t LinuxDevice::DoRead(std::span<std::byte> buffer) {
    ssize_t n;
    do {
        n = ::read(fd_.get(), buffer.data(), buffer.size());
    } while (n < 0 && errno == EINTR);
    return n < 0 ? LastError() : n;
}

ssize_t LinuxDevice::DoWrite(std::span<const std::byte> data) {
    ssize_t n;
    do {
        n = ::write(fd_.get(), data.data(), data.size());
    } while (n < 0 && errno == EINTR);
    return n < 0 ? LastError() : n;
}

int LinuxDevice::DoPoll(short events, int timeout_ms) {
    pollfd p{fd_.get(), events, 0};
    const int rc = ::poll(&p, 1, timeout_ms);
    if (rc < 0) return LastError();
    return rc == 0 ? 0 : p.revents;
}

MappedMemory LinuxDevice::DoMap(size_t length, off_t offset, int* error) {
    void* p = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd_.get(), offset);
    if (p == MAP_FAILED) {
        *error = LastError();
        return {};
    }
    return MappedMemory(p, length, [](void* data, size_t size) { return ::munmap(data, size) == 0 ? 0 : LastError(); });
}

std::unique_ptr<Device> OpenLinuxDevice(std::string_view board_path, int flags, int* error) {
    OwnedFd fd(OpenRetrying(BoardPath(board_path), flags));
    if (!fd) {
        *error = LastError();
        return nullptr;
    }
    *error = 0;
    return std::make_unique<LinuxDevice>(std::string(board_path), std::move(fd));
}

// --- EEPROM --------------------------------------------------------------

std::unique_ptr<I2cBus> LinuxEeprom::OpenBus() { return std::make_unique<LinuxI2cBus>(BoardPath("/dev/i2c/1")); }

int LinuxEeprom::SetWriteProtect(bool protect) {
    // The driver takes the character and its terminating zero.
    const char text[2] = {protect ? '1' : '0', '\0'};
    return WriteBoardFile("/proc/driver/eeprom_wp", std::string_view(text, 2), O_WRONLY | O_TRUNC);
}

// --- card ----------------------------------------------------------------

int LinuxCard::Capacity(std::string_view board_path, CardCapacity* out) {
    if (out == nullptr) return -EINVAL;
    return LinuxCardCapacity(Rooted(board_path), out) == 0 ? 0 : LastError();
}

int LinuxCard::PartitionTable(std::string_view device, diviv::PartitionTable* out) {
    if (out == nullptr) return kPartitionTableUnreadable;
    return ReadPartitionTable(BoardPath(device), out);
}

std::vector<std::string> LinuxCard::MmcDevices() {
    std::vector<std::string> names;
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(BoardPath("/sys/bus/mmc/devices").c_str()), ::closedir);
    if (!dir) return names;
    while (const dirent* e = ::readdir(dir.get())) {
        if (e->d_name[0] != '.') names.emplace_back(e->d_name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> LinuxCard::MountLines() {
    std::vector<std::string> lines;
    std::ifstream in(BoardPath("/proc/mounts"));
    std::string line;
    while (std::getline(in, line)) lines.push_back(line + "\n");
    return lines;
}

int LinuxCard::Unmount(std::string_view board_path) {
    return ::umount2(BoardPath(board_path).c_str(), 0) == 0 ? 0 : LastError();
}

void LinuxCard::Sync() { ::sync(); }

int LinuxCard::SyncFile(int fd) { return ::fsync(fd) == 0 ? 0 : LastError(); }

int LinuxCard::DropPageCache() { return WriteBoardFile("/proc/sys/vm/drop_caches", "1\n", O_WRONLY | O_TRUNC); }

// --- power, LEDs, inputs, camera files -----------------------------------

int LinuxPower::WriteCommand(std::string_view command) {
    return WriteBoardFile("/proc/driver/power", command, O_WRONLY);
}

std::string LinuxPower::ReadState() {
    char buf[64];
    const int n = LinuxInputs().ReadDriverFile("/proc/driver/power", buf, sizeof buf);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

int LinuxLeds::WriteAttribute(std::string_view name, std::string_view attribute, std::string_view text) {
    std::string path = "/sys/class/leds/";
    path.append(name).append("/").append(attribute);
    // The attribute files exist (the driver made them): nothing is created.
    return WriteBoardFile(path, text, O_WRONLY | O_TRUNC);
}

OwnedFd LinuxInputs::OpenEventDevice(std::string_view board_path, int* error) {
    OwnedFd fd(OpenRetrying(BoardPath(board_path), O_RDONLY));
    *error = fd ? 0 : LastError();
    return fd;
}

void LinuxInputs::WakeEventDevice(std::string_view) {
    // A real event device returns from read by itself at the next event.
}

int LinuxInputs::ReadDriverFile(std::string_view board_path, char* buffer, int size) {
    if (buffer == nullptr || size <= 0) return -EINVAL;
    OwnedFd fd(OpenRetrying(BoardPath(board_path), O_RDONLY));
    if (!fd) return LastError();
    ssize_t n;
    do {
        n = ::read(fd.get(), buffer, static_cast<size_t>(size));
    } while (n < 0 && errno == EINTR);
    return n < 0 ? LastError() : static_cast<int>(n);
}

std::string LinuxCamera::ReadFile(std::string_view name) {
    std::string path = "/proc/driver/camera/";
    path.append(name);
    char buf[127];
    const int n = LinuxInputs().ReadDriverFile(path, buf, sizeof buf);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

int LinuxCamera::WriteVideoMode(std::string_view text) {
    return WriteBoardFile("/proc/driver/camera/video_mode", text, O_WRONLY | O_TRUNC | O_CREAT);
}

namespace {

class LinuxBoard final : public Board {
public:
    EepromPort& Eeprom() override { return eeprom_; }
    CardStorage& Card() override { return card_; }
    PowerControl& Power() override { return power_; }
    Indicators& Leds() override { return leds_; }
    Inputs& InputDevices() override { return inputs_; }
    CameraDriver& Camera() override { return camera_; }
    DisplaySettings& Display() override { return display_; }
    std::unique_ptr<Device> OpenDevice(std::string_view board_path, int flags, int* error) override {
        return OpenLinuxDevice(board_path, flags, error);
    }
    OwnedFd OpenSerialPort(std::string_view board_path, int flags, int* error) override {
        OwnedFd fd(OpenRetrying(BoardPath(board_path), flags));
        *error = fd ? 0 : LastError();
        return fd;
    }
    // The board's hardware codec would plug in here; this build encodes
    // with libx264 on every board.
    std::unique_ptr<VideoEncoder> OpenVideoEncoder() override { return MakeX264Encoder(); }
    std::unique_ptr<VideoDecoder> OpenVideoDecoder() override { return MakeAvcodecDecoder(); }
    void ServeBoardRequests(const ScreenshotFn&) override {}

private:
    LinuxEeprom eeprom_;
    LinuxCard card_;
    LinuxPower power_;
    LinuxLeds leds_;
    LinuxInputs inputs_;
    LinuxCamera camera_;
    LinuxDisplay display_;
};

}  // namespace

}  // namespace diviv::linux_board

namespace diviv {

std::unique_ptr<Board> MakeLinuxBoard() { return std::make_unique<linux_board::LinuxBoard>(); }

}  // namespace diviv

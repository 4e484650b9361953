#include "FuzzBoard.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/Board.h"

namespace fuzzboard {
namespace {

constexpr uint16_t kFirstSlave = 0x54;
constexpr size_t kPage = 256;

std::array<uint8_t, kEepromBytes> g_eeprom{};
rtc_time g_rtc{};
int g_rtc_settings = 0;
std::string g_root;
std::vector<std::string> g_files;  // written under the root, removed at exit

void RemoveRoot() {
    for (const std::string& f : g_files) ::unlink(f.c_str());
    if (!g_root.empty()) ::rmdir(g_root.c_str());
}

// The part at the SMBus transfer: one 256-byte page per slave address, a
// transfer wraps inside its page as the real part does.
class MemoryBus final : public diviv::I2cBus {
public:
    int Open() override {
        open_ = true;
        return 0;
    }
    void Close() override { open_ = false; }
    bool IsOpen() const override { return open_; }
    int SelectSlave(uint16_t address) override {
        if (!open_) return -EBADF;
        if (address < kFirstSlave || address >= kFirstSlave + kEepromBytes / kPage) return -ENXIO;
        page_ = address - kFirstSlave;
        return 0;
    }
    int ReadI2cBlock(uint8_t command, std::span<uint8_t> data) override {
        if (!open_ || data.empty() || data.size() > diviv::kI2cBlockMax) return -EINVAL;
        for (size_t i = 0; i < data.size(); ++i) data[i] = g_eeprom[page_ * kPage + (command + i) % kPage];
        return 0;
    }
    int WriteI2cBlock(uint8_t command, std::span<const uint8_t> data) override {
        if (!open_ || data.empty() || data.size() > diviv::kI2cBlockMax) return -EINVAL;
        for (size_t i = 0; i < data.size(); ++i) g_eeprom[page_ * kPage + (command + i) % kPage] = data[i];
        return 0;
    }

private:
    bool open_ = false;
    size_t page_ = 0;
};

class MemoryEeprom final : public diviv::EepromPort {
public:
    std::unique_ptr<diviv::I2cBus> OpenBus() override { return std::make_unique<MemoryBus>(); }
    int SetWriteProtect(bool) override { return 0; }
};

// The kernel's RTC refuses a broken-down time outside its fields' ranges.
bool ValidRtcTime(const rtc_time& t) {
    static constexpr int kDays[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return t.tm_year >= 70 && t.tm_mon >= 0 && t.tm_mon < 12 && t.tm_mday >= 1 && t.tm_mday <= kDays[t.tm_mon] &&
           t.tm_hour >= 0 && t.tm_hour < 24 && t.tm_min >= 0 && t.tm_min < 60 && t.tm_sec >= 0 && t.tm_sec < 60;
}

class MemoryRtc final : public diviv::Device {
public:
    MemoryRtc() : Device("/dev/rtc") {}

private:
    int DoIoctl(unsigned long request, void* arg) override {
        if (request != RTC_SET_TIME || arg == nullptr) return -ENOTTY;
        const auto* t = static_cast<const rtc_time*>(arg);
        if (!ValidRtcTime(*t)) return -EINVAL;
        g_rtc = *t;
        ++g_rtc_settings;
        return 0;
    }
    ssize_t DoRead(std::span<std::byte>) override { return -EINVAL; }
    ssize_t DoWrite(std::span<const std::byte>) override { return -EINVAL; }
    int DoPoll(short, int) override { return -EINVAL; }
    diviv::MappedMemory DoMap(size_t, off_t, int* error) override {
        if (error) *error = -ENODEV;
        return {};
    }
};

class NoCard final : public diviv::CardStorage {
public:
    int Capacity(std::string_view, diviv::CardCapacity*) override { return -ENODEV; }
    int PartitionTable(std::string_view, diviv::PartitionTable*) override { return -ENODEV; }
    std::vector<std::string> MmcDevices() override { return {}; }
    std::vector<std::string> MountLines() override { return {}; }
    int Unmount(std::string_view) override { return -EINVAL; }
    void Sync() override {}
    int SyncFile(int) override { return 0; }
    int DropPageCache() override { return 0; }
};

class NoPower final : public diviv::PowerControl {
public:
    int WriteCommand(std::string_view) override { return 0; }
    std::string ReadState() override { return {}; }
};

class NoLeds final : public diviv::Indicators {
public:
    int WriteAttribute(std::string_view, std::string_view, std::string_view) override { return 0; }
};

class NoInputs final : public diviv::Inputs {
public:
    diviv::OwnedFd OpenEventDevice(std::string_view, int* error) override {
        *error = -ENODEV;
        return {};
    }
    void WakeEventDevice(std::string_view) override {}
    int ReadDriverFile(std::string_view, char*, int) override { return -ENOENT; }
};

class NoCamera final : public diviv::CameraDriver {
public:
    std::string ReadFile(std::string_view) override { return {}; }
    int WriteVideoMode(std::string_view) override { return 0; }
};

class NoDisplay final : public diviv::DisplaySettings {
public:
    std::string DirectFbArgs() override { return {}; }
    bool VideoPlane(uint8_t*, int, int) override { return false; }
    bool CaptureOverlay(uint8_t*, uint8_t*, int, int) override { return false; }
};

class MemoryBoard final : public diviv::Board {
public:
    diviv::EepromPort& Eeprom() override { return eeprom_; }
    diviv::CardStorage& Card() override { return card_; }
    diviv::PowerControl& Power() override { return power_; }
    diviv::Indicators& Leds() override { return leds_; }
    diviv::Inputs& InputDevices() override { return inputs_; }
    diviv::CameraDriver& Camera() override { return camera_; }
    diviv::DisplaySettings& Display() override { return display_; }
    std::unique_ptr<diviv::Device> OpenDevice(std::string_view board_path, int, int* error) override {
        if (board_path == "/dev/rtc") {
            *error = 0;
            return std::make_unique<MemoryRtc>();
        }
        *error = -ENOENT;
        return nullptr;
    }
    diviv::OwnedFd OpenSerialPort(std::string_view, int, int* error) override {
        *error = -ENOENT;
        return {};
    }
    std::unique_ptr<diviv::VideoEncoder> OpenVideoEncoder() override { return nullptr; }
    std::unique_ptr<diviv::VideoDecoder> OpenVideoDecoder() override { return nullptr; }
    void ServeBoardRequests(const ScreenshotFn&) override {}

private:
    MemoryEeprom eeprom_;
    NoCard card_;
    NoPower power_;
    NoLeds leds_;
    NoInputs inputs_;
    NoCamera camera_;
    NoDisplay display_;
};

}  // namespace

const char* Install() {
    if (!g_root.empty()) return g_root.c_str();
    char tmpl[] = "/dev/shm/diviv-fuzz-XXXXXX";
    const char* dir = ::mkdtemp(tmpl);
    if (dir == nullptr) {
        std::perror("mkdtemp");
        std::abort();
    }
    g_root = dir;
    std::atexit(RemoveRoot);
    ::setenv("DIVIV_ROOT", g_root.c_str(), 1);
    diviv::InstallBoard(std::make_unique<MemoryBoard>());
    return g_root.c_str();
}

std::array<uint8_t, kEepromBytes>& EepromImage() { return g_eeprom; }
const rtc_time& LastRtcTime() { return g_rtc; }
int RtcSettings() { return g_rtc_settings; }

const char* WriteRootFile(const char* name, const uint8_t* data, size_t size) {
    static std::string path;
    path = g_root + "/" + name;
    bool known = false;
    for (const std::string& f : g_files) known = known || f == path;
    if (!known) g_files.push_back(path);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) {
        std::perror(path.c_str());
        std::abort();
    }
    for (size_t done = 0; done < size;) {
        const ssize_t n = ::write(fd, data + done, size - done);
        if (n <= 0) std::abort();
        done += static_cast<size_t>(n);
    }
    ::close(fd);
    return path.c_str();
}

void QuietConsole() {
    if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
}

}  // namespace fuzzboard

// libFuzzer's start-up hook.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzboard::Install();
    fuzzboard::QuietConsole();
    return 0;
}

// The EEPROM library waits out the part's write cycle before it reads a
// block back; the memory part has none, and a target that waited 5 ms per
// block would run a few inputs a second.
extern "C" int usleep(useconds_t) { return 0; }

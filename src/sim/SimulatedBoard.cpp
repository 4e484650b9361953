#include "sim/SimulatedBoard.h"

#include <fcntl.h>
#include <linux/input.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/BoardPath.h"
#include "platform/AvcodecDecoder.h"
#include "platform/X264Encoder.h"
#include "platform/linux/LinuxBoard.h"
#include "sim/SimCamera.h"
#include "sim/SimCardCapacity.h"
#include "sim/SimCardSync.h"
#include "sim/SimDisplay.h"
#include "sim/SimFramebuffer.h"
#include "sim/SimGsensor.h"
#include "sim/SimI2cEeprom.h"
#include "sim/SimMicrophone.h"
#include "sim/SimPulse.h"
#include "sim/SimRtc.h"
#include "sim/SimSpeaker.h"

namespace diviv::sim {

namespace {

using linux_board::WriteBoardFile;

// Appends one line to the simulator's event log. One short O_APPEND write is
// never interleaved with another writer's.
void NoteEvent(const std::string& line) {
    (void)WriteBoardFile(kEventsLog, line + "\n", O_WRONLY | O_APPEND | O_CREAT);
}

// Removes the mounts-file lines whose mount point (second field) is `path`.
// The file is replaced by rename, so a reader sees either the old or the new
// table. Returns the number of lines removed, or -1 if the file is missing.
int RemoveMount(std::string_view path) {
    const std::string mounts = BoardPath("/proc/mounts");
    std::ifstream in(mounts);
    if (!in) return -1;
    std::ostringstream kept;
    std::string line;
    int removed = 0;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string device, point;
        fields >> device >> point;
        if (point == path) {
            ++removed;
            continue;
        }
        kept << line << '\n';
    }
    in.close();
    if (removed == 0) return 0;
    const std::string tmp = mounts + ".new";
    {
        std::ofstream out(tmp, std::ios::trunc);
        out << kept.str();
        if (!out) return -1;
    }
    if (std::rename(tmp.c_str(), mounts.c_str()) != 0) return -1;
    return removed;
}

class SimEeprom final : public linux_board::LinuxEeprom {
public:
    std::unique_ptr<I2cBus> OpenBus() override { return std::make_unique<SimI2cEeprom>(); }
};

class SimCard final : public linux_board::LinuxCard {
public:
    int Capacity(std::string_view board_path, CardCapacity* out) override {
        if (out == nullptr) return -EINVAL;
        // Only card mount points are simulated; any other folder is the host's.
        if (!IsCardMountPoint(board_path)) return LinuxCard::Capacity(board_path, out);
        return SimCardCapacity(board_path, out) == 0 ? 0 : linux_board::LastError();
    }
    int Unmount(std::string_view board_path) override {
        if (RemoveMount(board_path) <= 0) return -EINVAL;
        NoteEvent("umount " + std::string(board_path));
        return 0;
    }
    // Nothing is flushed on the host: the flush is noted, so a simulated
    // power cut can take back what the recorder never flushed.
    void Sync() override {
        NoteEvent("sync");
        NoteCardSynced();
    }
    int SyncFile(int fd) override {
        if (::fcntl(fd, F_GETFD) < 0) return linux_board::LastError();
        NoteFileSynced(fd);
        return 0;
    }
};

// A plain file cannot be both the state and the command port: commands are
// appended to a log beside the state file, which the simulator watches.
class SimPower final : public linux_board::LinuxPower {
public:
    int WriteCommand(std::string_view command) override {
        return WriteBoardFile(kPowerCommandLog, command, O_WRONLY | O_APPEND | O_CREAT);
    }
};

class SimInputs final : public linux_board::LinuxInputs {
public:
    // The RTC driver's text shows the simulated clock as it is now.
    int ReadDriverFile(std::string_view board_path, char* buffer, int size) override {
        if (board_path == kRtcProcFile) RefreshRtcProcFile();
        return LinuxInputs::ReadDriverFile(board_path, buffer, size);
    }
    // Wakes a reader blocked on an event FIFO with an empty record (type 0,
    // which the input threads ignore).
    void WakeEventDevice(std::string_view board_path) override {
        const std::string path = BoardPath(board_path);
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0 || !S_ISFIFO(st.st_mode)) return;
        OwnedFd fd(::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
        if (!fd) return;  // no reader: nobody is blocked
        // The reader may close between our open and write (an earlier wake-up
        // reached it): the write then raises SIGPIPE at this thread, which
        // must not end the process. Block it for the write and drop it.
        sigset_t pipe_set, old_set;
        sigemptyset(&pipe_set);
        sigaddset(&pipe_set, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe_set, &old_set);
        input_event ev{};
        if (::write(fd.get(), &ev, sizeof ev) < 0 && errno == EPIPE) {
            const timespec no_wait{};
            sigtimedwait(&pipe_set, nullptr, &no_wait);
        }
        pthread_sigmask(SIG_SETMASK, &old_set, nullptr);
    }
};

class SimDisplay final : public DisplaySettings {
public:
    std::string DirectFbArgs() override { return kDirectFbArgs; }
    // The picture the display output device shows, in its window.
    bool VideoPlane(uint8_t* rgb, int width, int height) override {
        if (rgb == nullptr || width <= 0 || height <= 0) return false;
        return plane->Compose(rgb, width, height);
    }
    // The camera's overlay picture, placed in its overlay window (scaled to
    // it). Otherwise the video plane wherever the display set-up keyed the
    // graphics plane open: DirectFB draws into memory of its own here, so
    // the key colour painted into the framebuffer is laid over what it drew
    // before, as the painting covers it on the board.
    bool CaptureOverlay(uint8_t* rgb, uint8_t* mask, int width, int height) override {
        if (rgb == nullptr || mask == nullptr || width <= 0 || height <= 0) return false;
        std::fill(mask, mask + static_cast<size_t>(width) * height, uint8_t{0});
        const std::optional<OverlayPicture> pic = LastOverlayPicture();
        if (pic && pic->width > 0 && pic->height > 0) {
            ComposeI420(pic->yuv.data(), pic->width, pic->height, pic->window, rgb, mask, width, height);
            return true;
        }
        if (!framebuffers->KeyedPixels(mask, width, height)) return false;
        std::fill(rgb, rgb + static_cast<size_t>(width) * height * 3, uint8_t{0});  // no picture: black
        return plane->Compose(rgb, width, height);
    }

    // Shared with the display's device models.
    std::shared_ptr<SimVideoPlane> plane = std::make_shared<SimVideoPlane>();
    std::shared_ptr<SimFramebuffers> framebuffers = std::make_shared<SimFramebuffers>();
    std::shared_ptr<SimSpeaker> speaker = std::make_shared<SimSpeaker>();
};

}  // namespace

struct SimulatedBoard::Parts {
    SimEeprom eeprom;
    SimCard card;
    SimPower power;
    linux_board::LinuxLeds leds;
    SimInputs inputs;
    linux_board::LinuxCamera camera;
    SimDisplay display;
};

SimulatedBoard::SimulatedBoard() : parts_(std::make_unique<Parts>()) {
    devices_.Register("/dev/v4l/video0", MakeSimCamera);
    devices_.Register(kMicrophoneDevicePath, [speaker = parts_->display.speaker](const std::string& path, int flags,
                                                                                  int* error) {
        return MakeSimSsiAudio(speaker, path, flags, error);
    });
    devices_.Register(kVideoOutputDevice, [plane = parts_->display.plane](const std::string& path, int flags,
                                                                          int* error) {
        return MakeSimVideoOutput(plane, path, flags, error);
    });
    RegisterSimFramebuffers(devices_, parts_->display.framebuffers);
    devices_.Register(kRtcDevicePath, MakeSimRtc);
    devices_.Register(kGsensorDevicePath, MakeSimGsensor);
    devices_.Register(kPulseDevicePath, MakeSimPulse);
}

SimulatedBoard::~SimulatedBoard() = default;

EepromPort& SimulatedBoard::Eeprom() { return parts_->eeprom; }
CardStorage& SimulatedBoard::Card() { return parts_->card; }
PowerControl& SimulatedBoard::Power() { return parts_->power; }
Indicators& SimulatedBoard::Leds() { return parts_->leds; }
Inputs& SimulatedBoard::InputDevices() { return parts_->inputs; }
CameraDriver& SimulatedBoard::Camera() { return parts_->camera; }
DisplaySettings& SimulatedBoard::Display() { return parts_->display; }

std::unique_ptr<Device> SimulatedBoard::OpenDevice(std::string_view board_path, int flags, int* error) {
    int local = 0;
    return devices_.Open(board_path, flags, error != nullptr ? error : &local);
}

// Serial ports are links to pseudo-terminals: the real termios code runs.
OwnedFd SimulatedBoard::OpenSerialPort(std::string_view board_path, int flags, int* error) {
    OwnedFd fd;
    do {
        fd = OwnedFd(::open(BoardPath(board_path).c_str(), flags | O_CLOEXEC));
    } while (!fd && errno == EINTR);
    int local = 0;
    int* err = error != nullptr ? error : &local;
    *err = fd ? 0 : linux_board::LastError();
    return fd;
}

std::unique_ptr<VideoEncoder> SimulatedBoard::OpenVideoEncoder() { return MakeX264Encoder(); }
std::unique_ptr<VideoDecoder> SimulatedBoard::OpenVideoDecoder() { return MakeAvcodecDecoder(); }

void SimulatedBoard::ServeBoardRequests(const ScreenshotFn& screenshot) {
    const std::string req = BoardPath(kScreenshotRequestFile);
    std::ifstream in(req);
    if (!in) return;
    std::string out;
    std::getline(in, out);
    in.close();
    std::remove(req.c_str());
    while (!out.empty() && (out.back() == '\r' || out.back() == ' ')) out.pop_back();
    if (screenshot && !out.empty()) screenshot(out);
}

std::unique_ptr<Board> MakeSimBoard() { return std::make_unique<SimulatedBoard>(); }

}  // namespace diviv::sim

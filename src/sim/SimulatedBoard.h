// The simulated board: the board's device interfaces answered on a PC.
//
// Files that are plain files on both boards (LED attributes, driver state
// files, camera driver files) are read and written as on the board, under
// the board root. What differs is here: the EEPROM is answered at the SMBus
// transaction from an image file, the card's capacity is simulated, an
// unmount edits the mounts file and a sync is noted in the event log (and
// the card files' sizes in the sync log, sim/SimCardSync.h), power
// commands are appended to a command log, input FIFOs are woken with an
// empty record, DirectFB draws into memory, request-driven devices are the
// device models registered by path, and the board's own screenshot
// requests are served.
#pragma once

#include <memory>
#include <string_view>

#include "platform/Board.h"
#include "sim/DeviceModel.h"

namespace diviv::sim {

// Files of the simulated board, under the board root.
inline constexpr std::string_view kEventsLog = "/sim/events.log";          // "umount <path>", "sync"
inline constexpr std::string_view kPowerCommandLog = "/proc/driver/power_cmd";  // one power command per line
inline constexpr const char* kScreenshotRequestFile = "/sim/screenshot_request";  // one line: the PNG's path
inline constexpr const char* kDirectFbArgs = "system=dummy,mode=640x480,no-cursor,quiet";

// A simulated board with the standard device models registered (the camera
// at "/dev/v4l/video0", the real-time clock at "/dev/rtc"). Tests register more or other models through
// Devices() before the recorder opens them.
class SimulatedBoard : public Board {
public:
    SimulatedBoard();
    ~SimulatedBoard() override;

    EepromPort& Eeprom() override;
    CardStorage& Card() override;
    PowerControl& Power() override;
    Indicators& Leds() override;
    Inputs& InputDevices() override;
    CameraDriver& Camera() override;
    DisplaySettings& Display() override;
    std::unique_ptr<Device> OpenDevice(std::string_view board_path, int flags, int* error) override;
    OwnedFd OpenSerialPort(std::string_view board_path, int flags, int* error) override;
    std::unique_ptr<VideoEncoder> OpenVideoEncoder() override;
    std::unique_ptr<VideoDecoder> OpenVideoDecoder() override;
    void ServeBoardRequests(const ScreenshotFn& screenshot) override;

    DeviceRegistry& Devices() { return devices_; }

private:
    struct Parts;
    std::unique_ptr<Parts> parts_;
    DeviceRegistry devices_;
};

std::unique_ptr<Board> MakeSimBoard();

}  // namespace diviv::sim

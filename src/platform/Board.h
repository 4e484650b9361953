// The board as the recorder sees it: a set of device interfaces, chosen once.
//
// `main` builds one board (the Linux board of platform/linux, or the
// simulated board of src/sim, from DIVIV_BOARD) and installs it before
// anything else runs; every module reaches the hardware only through
// TheBoard(). No module outside main and src/sim knows which board it is.
//
// Conventions of every interface here: calls return 0 (or a count) on
// success and -errno on failure; board paths are the real board's absolute
// paths ("/proc/driver/power"), resolved under the board root by the
// backend.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/CardCapacity.h"
#include "platform/Device.h"
#include "platform/I2cBus.h"
#include "platform/Owners.h"

namespace diviv {

class VideoDecoder;
class VideoEncoder;

// The EEPROM: its I2C adapter and the write-protect line.
class EepromPort {
public:
    virtual ~EepromPort() = default;
    // A new, closed bus to the EEPROM's adapter.
    virtual std::unique_ptr<I2cBus> OpenBus() = 0;
    // Drives the write-protect line ("/proc/driver/eeprom_wp"): true
    // protects. Return: 0 or -errno.
    virtual int SetWriteProtect(bool protect) = 0;
};

// The card slots: what is inserted, what is mounted, how full it is.
class CardStorage {
public:
    virtual ~CardStorage() = default;
    // Capacity of the file system a board path lies on. Return: 0 or -errno.
    virtual int Capacity(std::string_view board_path, CardCapacity* out) = 0;
    // Primary partitions of a card device ("/dev/mmcblk0"). Returns a
    // PartitionTableResult.
    virtual int PartitionTable(std::string_view device, diviv::PartitionTable* out) = 0;
    // The card devices the MMC bus has found ("mmc0:0001", ...).
    virtual std::vector<std::string> MmcDevices() = 0;
    // The mount table, as the lines of "/proc/mounts".
    virtual std::vector<std::string> MountLines() = 0;
    // Unmounts the file system at a board path. Return: 0 or -errno.
    virtual int Unmount(std::string_view board_path) = 0;
    // Flushes every file system to its device.
    virtual void Sync() = 0;
    // Flushes one open file (or folder) to its device. Return: 0 or -errno.
    virtual int SyncFile(int fd) = 0;
    // Drops the kernel's clean page cache (after a mode ends). Return: 0 or
    // -errno.
    virtual int DropPageCache() = 0;
};

// The power controller "/proc/driver/power".
class PowerControl {
public:
    virtual ~PowerControl() = default;
    // Writes one command ("1\n" hold, "2\n" switch off). Return: 0 or -errno.
    virtual int WriteCommand(std::string_view command) = 0;
    // The state word as read (five hexadecimal characters); empty on failure.
    virtual std::string ReadState() = 0;
};

// LEDs and buzzer: attributes of the LED class folders.
class Indicators {
public:
    virtual ~Indicators() = default;
    // Writes `text` to attribute `attribute` of LED-class device `name`
    // ("LED1", "BUZZER", "GPS_P_CNT", "GPSONOFF"). Nothing is created.
    // Return: 0 or -errno.
    virtual int WriteAttribute(std::string_view name, std::string_view attribute, std::string_view text) = 0;
};

// The board's input devices: key and power event devices and the input word.
class Inputs {
public:
    virtual ~Inputs() = default;
    // Opens an input-event device ("/dev/input/event0") for reading native
    // struct input_event records. Return: the descriptor, or an empty owner
    // with *error = -errno.
    virtual OwnedFd OpenEventDevice(std::string_view board_path, int* error) = 0;
    // Makes a reader blocked in OpenEventDevice or read return (used when
    // the input threads stop).
    virtual void WakeEventDevice(std::string_view board_path) = 0;
    // Reads a driver state file ("/proc/driver/input", "/proc/driver/power")
    // once. Return: bytes read, or -errno.
    virtual int ReadDriverFile(std::string_view board_path, char* buffer, int size) = 0;
};

// The camera driver's information and control files ("/proc/driver/camera/*").
class CameraDriver {
public:
    virtual ~CameraDriver() = default;
    // The whole text of an information file (at most 127 bytes); empty when
    // it cannot be read.
    virtual std::string ReadFile(std::string_view name) = 0;
    // Writes the video-mode file ("4:0\n" quad, "1:<n>\n" one camera).
    // Return: 0 or -errno.
    virtual int WriteVideoMode(std::string_view text) = 0;
};

// What the display needs from the board.
class DisplaySettings {
public:
    virtual ~DisplaySettings() = default;
    // DirectFB arguments the board needs (empty: DirectFB's own defaults).
    virtual std::string DirectFbArgs() = 0;
    // The video plane under the graphics plane, as RGB bytes (width * height
    // * 3, top row first), for screenshots. False when the board cannot show
    // it (the real board's display composes the planes itself).
    virtual bool VideoPlane(uint8_t* rgb, int width, int height) = 0;
    // The camera's live overlay, which the capture driver writes over the
    // display inside its overlay window: RGB bytes and a mask (one byte per
    // pixel, 1 where the overlay covers the screen). False when no overlay
    // is on (or the board's display shows it by itself).
    virtual bool CaptureOverlay(uint8_t* rgb, uint8_t* mask, int width, int height) = 0;
};

class Board {
public:
    virtual ~Board() = default;

    virtual EepromPort& Eeprom() = 0;
    virtual CardStorage& Card() = 0;
    virtual PowerControl& Power() = 0;
    virtual Indicators& Leds() = 0;
    virtual Inputs& InputDevices() = 0;
    virtual CameraDriver& Camera() = 0;
    virtual DisplaySettings& Display() = 0;

    // Opens a request-driven device by its board path. On failure returns
    // nullptr with *error = -errno (-ENOENT: no such device).
    virtual std::unique_ptr<Device> OpenDevice(std::string_view board_path, int flags, int* error) = 0;

    // Opens a serial port ("/dev/ttymxc1") with open(2) `flags`; the caller
    // sets the line up with termios. On the simulated board the path is a
    // link to a pseudo-terminal whose other end boardsim holds. On failure
    // the owner is empty and *error = -errno.
    virtual OwnedFd OpenSerialPort(std::string_view board_path, int flags, int* error) = 0;

    // A new, closed H.264 encoder.
    virtual std::unique_ptr<VideoEncoder> OpenVideoEncoder() = 0;
    // A new, closed H.264 decoder.
    virtual std::unique_ptr<VideoDecoder> OpenVideoDecoder() = 0;

    // The main thread's hook for requests the board itself makes of the
    // recorder (the simulated board asks for screenshots). `screenshot`
    // draws the current screens into a folder. Linux: nothing to do.
    using ScreenshotFn = std::function<void(const std::string& folder)>;
    virtual void ServeBoardRequests(const ScreenshotFn& screenshot) = 0;
};

// The installed board. Without an installed one, the Linux board.
Board& TheBoard();
// Installs `board` for the whole process and returns the previous one
// (tests put it back). Call before any thread that uses the board starts.
std::unique_ptr<Board> InstallBoard(std::unique_ptr<Board> board);

// The Linux board (platform/linux).
std::unique_ptr<Board> MakeLinuxBoard();

}  // namespace diviv

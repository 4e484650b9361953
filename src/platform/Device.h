// The device layer: one opened character device of the board, driven by
// requests (V4L2 capture and overlay, the framebuffer, the SSI audio device,
// the G-sensor, the pulse input, the RTC).
//
// The capture, sound and sensor threads keep the drivers' own sequence of
// requests, numbers and structures; only the call goes through here. On the
// board a Device is the system call on a descriptor; on the simulated board
// the same request, with the same number and structure, is answered by a
// device model registered for that path.
//
// Every call returns a count or 0 on success and -errno on failure (the
// backend turns errno into that in one place). Public calls check their
// arguments once, then forward to the backend.
#pragma once

#include <poll.h>
#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <span>
#include <string>

#include "platform/Owners.h"

namespace diviv {

class Device {
public:
    explicit Device(std::string path) : path_(std::move(path)) {}
    virtual ~Device() = default;
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    // The board path it was opened as ("/dev/v4l/video0").
    const std::string& path() const { return path_; }

    // One request. `arg` is the request's structure (or nullptr, or a value
    // the driver takes by value, cast as the driver's callers do).
    // Return: the driver's non-negative answer, or -errno.
    int Ioctl(unsigned long request, void* arg) { return DoIoctl(request, arg); }
    // Return: bytes read (0 at end), or -errno (-EAGAIN: nothing yet).
    ssize_t Read(std::span<std::byte> buffer) { return buffer.empty() ? 0 : DoRead(buffer); }
    // Return: bytes written, or -errno.
    ssize_t Write(std::span<const std::byte> data) { return data.empty() ? 0 : DoWrite(data); }
    // Waits up to timeout_ms (-1: for ever) for `events` (POLLIN, POLLOUT).
    // Return: the events that are ready (0 on time-out), or -errno.
    int Poll(short events, int timeout_ms) { return events == 0 ? -EINVAL : DoPoll(events, timeout_ms); }
    // Maps `length` bytes of device memory at `offset` (shared, read/write).
    // On failure the owner is empty and *error (if given) holds -errno.
    MappedMemory Map(size_t length, off_t offset, int* error = nullptr);
    // Closes the device now, for a caller that reports a failed close; the
    // destructor closes it otherwise. Later requests fail (-EBADF).
    // Return: 0, or -errno from the close.
    int Close() { return DoClose(); }

private:
    virtual int DoIoctl(unsigned long request, void* arg) = 0;
    virtual ssize_t DoRead(std::span<std::byte> buffer) = 0;
    virtual ssize_t DoWrite(std::span<const std::byte> data) = 0;
    virtual int DoPoll(short events, int timeout_ms) = 0;
    virtual MappedMemory DoMap(size_t length, off_t offset, int* error) = 0;
    virtual int DoClose() { return 0; }

    std::string path_;
};

}  // namespace diviv

// Device models of the simulated board: what answers the device layer's
// requests on a PC, registered by board path.
//
// A model derives from DeviceModel and answers requests the way the board's
// driver would (same request numbers and structures). Every model can be
// told to fail: the next matching request with an errno, or a stall before
// it is answered; tests and scenarios use that to reach the drivers' error
// roads.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Device.h"

namespace diviv::sim {

// Requests a fault can be aimed at.
enum class FaultOp { kAnyIoctl, kIoctl, kRead, kWrite, kPoll, kMap, kClose };

struct Fault {
    FaultOp op = FaultOp::kAnyIoctl;
    unsigned long request = 0;  // kIoctl: the request number it matches
    int error = 0;              // errno to answer with (0: answer normally)
    int stall_ms = 0;           // wait this long before answering
    int count = 1;              // how many matching requests it applies to
};

class DeviceModel : public Device {
public:
    using Device::Device;

    // Queues a fault; thread-safe (a test may inject while a thread runs).
    void InjectFault(const Fault& fault);

protected:
    // Called by the model before answering; returns -errno when a queued
    // fault says so (after its stall), else 0.
    int TakeFault(FaultOp op, unsigned long request = 0);

private:
    // A close answers with a queued kClose fault, else succeeds.
    int DoClose() override { return TakeFault(FaultOp::kClose); }

    std::mutex mutex_;
    std::vector<Fault> faults_;
};

// A device driven by requests only (the G-sensor, the pulse input): reads,
// writes and polls are refused with -EINVAL and mappings with -ENODEV, unless
// an injected fault answers first.
class RequestDeviceModel : public DeviceModel {
public:
    using DeviceModel::DeviceModel;

private:
    ssize_t DoRead(std::span<std::byte> buffer) override;
    ssize_t DoWrite(std::span<const std::byte> data) override;
    int DoPoll(short events, int timeout_ms) override;
    MappedMemory DoMap(size_t length, off_t offset, int* error) override;
};

using DeviceFactory = std::function<std::unique_ptr<Device>(const std::string& board_path, int flags, int* error)>;

// The registry of the simulated board: one factory per board path.
class DeviceRegistry {
public:
    void Register(std::string board_path, DeviceFactory factory);
    // Opens the model registered for the path. nullptr with *error = -ENOENT
    // when none is.
    std::unique_ptr<Device> Open(std::string_view board_path, int flags, int* error) const;

private:
    mutable std::mutex mutex_;
    std::vector<std::pair<std::string, DeviceFactory>> factories_;
};

}  // namespace diviv::sim

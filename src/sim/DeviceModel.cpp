#include "sim/DeviceModel.h"

#include <cerrno>
#include <chrono>
#include <thread>

namespace diviv::sim {

void DeviceModel::InjectFault(const Fault& fault) {
    std::lock_guard lock(mutex_);
    faults_.push_back(fault);
}

int DeviceModel::TakeFault(FaultOp op, unsigned long request) {
    Fault hit{};
    {
        std::lock_guard lock(mutex_);
        auto it = faults_.begin();
        for (; it != faults_.end(); ++it) {
            const bool ioctl_op = op == FaultOp::kIoctl;
            if (it->op == op && (!ioctl_op || it->request == request)) break;
            if (ioctl_op && it->op == FaultOp::kAnyIoctl) break;
        }
        if (it == faults_.end()) return 0;
        hit = *it;
        if (--it->count <= 0) faults_.erase(it);
    }
    // The stall happens outside the lock, as a slow driver would.
    if (hit.stall_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(hit.stall_ms));
    return hit.error != 0 ? -hit.error : 0;
}

ssize_t RequestDeviceModel::DoRead(std::span<std::byte>) {
    if (const int rc = TakeFault(FaultOp::kRead); rc < 0) return rc;
    return -EINVAL;  // the data comes with the requests only
}

ssize_t RequestDeviceModel::DoWrite(std::span<const std::byte>) {
    if (const int rc = TakeFault(FaultOp::kWrite); rc < 0) return rc;
    return -EINVAL;
}

int RequestDeviceModel::DoPoll(short, int) {
    if (const int rc = TakeFault(FaultOp::kPoll); rc < 0) return rc;
    return -EINVAL;
}

MappedMemory RequestDeviceModel::DoMap(size_t, off_t, int* error) {
    const int rc = TakeFault(FaultOp::kMap);
    *error = rc < 0 ? rc : -ENODEV;
    return {};
}

void DeviceRegistry::Register(std::string board_path, DeviceFactory factory) {
    std::lock_guard lock(mutex_);
    for (auto& [path, f] : factories_) {
        if (path == board_path) {
            f = std::move(factory);
            return;
        }
    }
    factories_.emplace_back(std::move(board_path), std::move(factory));
}

std::unique_ptr<Device> DeviceRegistry::Open(std::string_view board_path, int flags, int* error) const {
    DeviceFactory factory;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [path, f] : factories_) {
            if (path == board_path) factory = f;
        }
    }
    if (!factory) {
        *error = -ENOENT;
        return nullptr;
    }
    *error = 0;
    return factory(std::string(board_path), flags, error);
}

}  // namespace diviv::sim

#include "platform/Device.h"

#include <cerrno>

namespace diviv {

MappedMemory Device::Map(size_t length, off_t offset, int* error) {
    int local = 0;
    int* err = error != nullptr ? error : &local;
    *err = 0;
    if (length == 0 || offset < 0) {
        *err = -EINVAL;
        return {};
    }
    MappedMemory m = DoMap(length, offset, err);
    if (!m && *err == 0) *err = -ENOMEM;
    return m;
}

}  // namespace diviv

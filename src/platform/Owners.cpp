#include "platform/Owners.h"

#include <unistd.h>

#include <cerrno>

namespace diviv {

int OwnedFd::Reset() {
    if (fd_ < 0) return 0;
    const int rc = ::close(std::exchange(fd_, -1));
    return rc == 0 ? 0 : -errno;
}

int MappedMemory::Reset() {
    if (data_ == nullptr) return 0;
    void* data = std::exchange(data_, nullptr);
    const size_t size = std::exchange(size_, 0);
    const int rc = release_ ? release_(data, size) : 0;
    release_ = nullptr;
    return rc;
}

}  // namespace diviv

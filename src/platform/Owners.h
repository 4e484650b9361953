// Owners for what the board hands out: a file descriptor and a memory
// mapping. Both are move-only, so a descriptor is closed and a mapping
// released exactly once.
#pragma once

#include <cstddef>
#include <functional>
#include <utility>

namespace diviv {

// Owns one file descriptor (-1: none) and closes it.
class OwnedFd {
public:
    OwnedFd() = default;
    explicit OwnedFd(int fd) : fd_(fd) {}
    ~OwnedFd() { Reset(); }
    OwnedFd(const OwnedFd&) = delete;  // no double close
    OwnedFd& operator=(const OwnedFd&) = delete;
    OwnedFd(OwnedFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    OwnedFd& operator=(OwnedFd&& other) noexcept {
        if (this != &other) {
            Reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    explicit operator bool() const { return valid(); }
    // Gives the descriptor up without closing it.
    int Release() { return std::exchange(fd_, -1); }
    // Closes the descriptor. Return: 0, or -errno from close.
    int Reset();

private:
    int fd_ = -1;
};

// Owns one mapping of device memory. The release action is the backend's
// (munmap on the board, nothing for a simulated device's own buffer).
class MappedMemory {
public:
    using Release = std::function<int(void*, size_t)>;

    MappedMemory() = default;
    MappedMemory(void* data, size_t size, Release release)
        : data_(data), size_(size), release_(std::move(release)) {}
    ~MappedMemory() { Reset(); }
    MappedMemory(const MappedMemory&) = delete;
    MappedMemory& operator=(const MappedMemory&) = delete;
    MappedMemory(MappedMemory&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)),
          release_(std::move(other.release_)) {}
    MappedMemory& operator=(MappedMemory&& other) noexcept {
        if (this != &other) {
            Reset();
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
            release_ = std::move(other.release_);
        }
        return *this;
    }

    void* data() const { return data_; }
    size_t size() const { return size_; }
    explicit operator bool() const { return data_ != nullptr; }
    // Releases the mapping. Return: 0, or -errno from the backend.
    int Reset();

private:
    void* data_ = nullptr;
    size_t size_ = 0;
    Release release_;
};

}  // namespace diviv

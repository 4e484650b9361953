#include "core/dr_ringbuffer.h"

#include <cstring>
#include <new>

int DR_InitRingBuffer(DrRingBuffer* rbuf, int bufSize) {
    if ((bufSize & (bufSize - 1)) != 0 || bufSize < 0) return -1;
    auto storage = std::unique_ptr<char[]>(new (std::nothrow) char[bufSize > 0 ? bufSize : 1]);
    auto mutex = std::unique_ptr<std::mutex>(new (std::nothrow) std::mutex);
    if (!storage || !mutex) return -1;
    rbuf->bufferSize = bufSize;
    rbuf->buffer = std::move(storage);
    rbuf->writeIndex = 0;
    rbuf->readIndex = 0;
    rbuf->bigMask = bufSize * 2 - 1;
    rbuf->smallMask = bufSize - 1;
    rbuf->rb_mutex = std::move(mutex);
    return 0;
}

int DR_FreeRingBuffer(DrRingBuffer* rbuf) {
    rbuf->buffer.reset();
    rbuf->rb_mutex.reset();
    rbuf->bufferSize = rbuf->writeIndex = rbuf->readIndex = rbuf->bigMask = rbuf->smallMask = 0;
    return 0;
}

DrRingBuffer* DR_FlushRingBuffer(DrRingBuffer* rbuf) {
    rbuf->writeIndex = 0;
    rbuf->readIndex = 0;
    return rbuf;
}

int DR_GetRingBufferReadAvailable(DrRingBuffer* rbuf) {
    if (!rbuf->rb_mutex) return 0;
    std::lock_guard<std::mutex> lock(*rbuf->rb_mutex);
    return (rbuf->writeIndex - rbuf->readIndex) & rbuf->bigMask;
}

int DR_GetRingBufferWriteAvailable(DrRingBuffer* rbuf) {
    return rbuf->bufferSize - DR_GetRingBufferReadAvailable(rbuf);
}

namespace {

// Splits n bytes starting at index into at most two regions of the storage.
int Regions(DrRingBuffer* rbuf, int index, int n, void** dataPtr1, int* sizePtr1, void** dataPtr2,
            int* sizePtr2) {
    const int i = index & rbuf->smallMask;
    if (i + n > rbuf->bufferSize) {
        const int first = rbuf->bufferSize - i;
        *dataPtr1 = rbuf->buffer.get() + i;
        *sizePtr1 = first;
        *dataPtr2 = rbuf->buffer.get();
        *sizePtr2 = n - first;
    } else {
        *dataPtr1 = rbuf->buffer.get() + i;
        *sizePtr1 = n;
        *dataPtr2 = nullptr;
        *sizePtr2 = 0;
    }
    return n;
}

}  // namespace

int DR_GetRingBufferReadRegions(DrRingBuffer* rbuf, int numBytes, void** dataPtr1, int* sizePtr1,
                                void** dataPtr2, int* sizePtr2) {
    const int available = DR_GetRingBufferReadAvailable(rbuf);
    const int n = numBytes < available ? (numBytes > 0 ? numBytes : 0) : available;
    // readIndex is moved only by this (the consumer's) thread: no lock needed.
    return Regions(rbuf, rbuf->readIndex, n, dataPtr1, sizePtr1, dataPtr2, sizePtr2);
}

int DR_GetRingBufferWriteRegions(DrRingBuffer* rbuf, int numBytes, void** dataPtr1, int* sizePtr1,
                                 void** dataPtr2, int* sizePtr2) {
    const int available = DR_GetRingBufferWriteAvailable(rbuf);
    const int n = numBytes < available ? (numBytes > 0 ? numBytes : 0) : available;
    // writeIndex is moved only by this (the producer's) thread: no lock needed.
    return Regions(rbuf, rbuf->writeIndex, n, dataPtr1, sizePtr1, dataPtr2, sizePtr2);
}

int DR_AdvanceRingBufferReadIndex(DrRingBuffer* rbuf, int numBytes) {
    std::lock_guard<std::mutex> lock(*rbuf->rb_mutex);
    rbuf->readIndex = (rbuf->readIndex + numBytes) & rbuf->bigMask;
    return rbuf->readIndex;
}

int DR_AdvanceRingBufferWriteIndex(DrRingBuffer* rbuf, int numBytes) {
    std::lock_guard<std::mutex> lock(*rbuf->rb_mutex);
    rbuf->writeIndex = (rbuf->writeIndex + numBytes) & rbuf->bigMask;
    return rbuf->writeIndex;
}

int DR_ReadRingBuffer(DrRingBuffer* rbuf, void* data, int numBytes) {
    void *p1 = nullptr, *p2 = nullptr;
    int s1 = 0, s2 = 0;
    const int n = DR_GetRingBufferReadRegions(rbuf, numBytes, &p1, &s1, &p2, &s2);
    if (n <= 0) return 0;
    std::memcpy(data, p1, static_cast<size_t>(s1));
    if (s2 > 0) std::memcpy(static_cast<char*>(data) + s1, p2, static_cast<size_t>(s2));
    DR_AdvanceRingBufferReadIndex(rbuf, n);
    return n;
}

int DR_WriteRingBuffer(DrRingBuffer* rbuf, const void* data, int numBytes) {
    void *p1 = nullptr, *p2 = nullptr;
    int s1 = 0, s2 = 0;
    const int n = DR_GetRingBufferWriteRegions(rbuf, numBytes, &p1, &s1, &p2, &s2);
    if (n <= 0) return 0;
    std::memcpy(p1, data, static_cast<size_t>(s1));
    if (s2 > 0) std::memcpy(p2, static_cast<const char*>(data) + s1, static_cast<size_t>(s2));
    DR_AdvanceRingBufferWriteIndex(rbuf, n);
    return n;
}

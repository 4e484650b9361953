// Byte ring buffer between one producer thread and one consumer thread.
//
// The capacity is a power of two and the indices run modulo twice the
// capacity, so a full buffer (write - read == size) and an empty one (equal
// indices) are told apart and all N bytes are usable. The mutex guards only
// the two index words; copying happens outside it, because the producer alone
// moves writeIndex and the consumer alone moves readIndex.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

struct DrRingBuffer {
    int32_t bufferSize = 0;  // capacity in bytes, a power of two
    int32_t writeIndex = 0;  // modulo 2 * bufferSize
    int32_t readIndex = 0;   // modulo 2 * bufferSize
    int32_t bigMask = 0;     // 2 * bufferSize - 1
    int32_t smallMask = 0;   // bufferSize - 1
    std::unique_ptr<char[]> buffer;
    std::unique_ptr<std::mutex> rb_mutex;
};

// 0, or -1 when bufSize is not a power of two or allocation fails (nothing is
// then allocated).
int DR_InitRingBuffer(DrRingBuffer* rbuf, int bufSize);
int DR_FreeRingBuffer(DrRingBuffer* rbuf);
// Empties the buffer without the lock: only while neither side runs.
DrRingBuffer* DR_FlushRingBuffer(DrRingBuffer* rbuf);
int DR_GetRingBufferReadAvailable(DrRingBuffer* rbuf);
int DR_GetRingBufferWriteAvailable(DrRingBuffer* rbuf);
// Grants up to numBytes as one or two regions (the second is null/0 unless
// the data wraps). The index is not moved: call the advance afterwards.
int DR_GetRingBufferReadRegions(DrRingBuffer* rbuf, int numBytes, void** dataPtr1, int* sizePtr1,
                                void** dataPtr2, int* sizePtr2);
int DR_GetRingBufferWriteRegions(DrRingBuffer* rbuf, int numBytes, void** dataPtr1, int* sizePtr1,
                                 void** dataPtr2, int* sizePtr2);
int DR_AdvanceRingBufferReadIndex(DrRingBuffer* rbuf, int numBytes);
int DR_AdvanceRingBufferWriteIndex(DrRingBuffer* rbuf, int numBytes);
// Copy out / in at most numBytes; never waits. Return the bytes moved.
int DR_ReadRingBuffer(DrRingBuffer* rbuf, void* data, int numBytes);
int DR_WriteRingBuffer(DrRingBuffer* rbuf, const void* data, int numBytes);

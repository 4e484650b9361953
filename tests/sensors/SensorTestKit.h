// Shared pieces of the sensor tests: a fresh simulated board with a shared
// record whose ring buffers exist, a receiver thread run and stopped like
// the codec manager does, the records a receiver handed over, and the world
// file the scripted drive writes.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/DR_shared.h"
#include "platform/SensorRecords.h"
#include "sim/World.h"
#include "support/SimBoardFixture.h"

namespace diviv::test {

using namespace std::chrono_literals;

// Waits for `done` against a deadline (polling every 5 ms). True when it held.
inline bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return done();
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// Reads every whole record of type R out of a ring buffer, as the writer does.
template <typename R>
std::vector<R> TakeRecords(DrRingBuffer* rb) {
    std::vector<R> out;
    while (DR_GetRingBufferReadAvailable(rb) >= static_cast<int>(sizeof(R))) {
        R r{};
        DR_ReadRingBuffer(rb, &r, sizeof r);
        out.push_back(r);
    }
    return out;
}

inline int64_t Micros(const dr_timeval& t) { return int64_t{t.tv_sec} * 1000000 + t.tv_usec; }

// Counts the lines of `text` equal to `line`.
inline int CountLines(const std::string& text, const std::string& line) {
    int n = 0;
    size_t pos = 0;
    while (pos <= text.size()) {
        const size_t eol = text.find('\n', pos);
        const std::string l = text.substr(pos, eol == std::string::npos ? std::string::npos : eol - pos);
        n += l == line ? 1 : 0;
        if (eol == std::string::npos) break;
        pos = eol + 1;
    }
    return n;
}

}  // namespace diviv::test

// A simulated board and a shared record with its ring buffers; a receiver
// thread is run on it with Start() and stopped with Stop() (close request,
// then joined), its console captured in between.
class SensorTest : public SimBoardTest {
protected:
    void SetUp() override {
        SimBoardTest::SetUp();
        ::unsetenv("WDT_ENABLE");
        record_ = NewDrCommon();
        ASSERT_EQ(CreateSharedRingBuffers(record_.get()), 0);
        drc = record_.get();
    }
    void TearDown() override {
        if (thread_.joinable()) Stop();
        FreeSharedRingBuffers(record_.get());
        drc = nullptr;
        record_.reset();
        SimBoardTest::TearDown();
    }

    dr_common_t* dr() { return record_.get(); }

    // Starts `body` as the codec manager does: ALIVE set, close request clear.
    void Start(void (*body)(dr_common_t*), dr_flag& alive, dr_flag& request) {
        alive_ = &alive;
        request_ = &request;
        alive = 1;
        request = 0;
        testing::internal::CaptureStdout();
        capturing_ = true;
        thread_ = std::thread(body, dr());
    }
    // Asks the thread to close, waits for it and returns its console.
    std::string Stop() {
        if (request_ != nullptr) *request_ = 1;
        if (thread_.joinable()) thread_.join();
        if (!capturing_) return console_;
        capturing_ = false;
        console_ = testing::internal::GetCapturedStdout();
        return console_;
    }
    // True once the thread has ended by itself (ALIVE cleared).
    bool Ended() const { return alive_ != nullptr && alive_->load() == 0; }

    // Replaces a ring buffer by an empty one of `bytes` (a power of two).
    void ResizeBuffer(DrRingBuffer* rb, int bytes) {
        DR_FreeRingBuffer(rb);
        ASSERT_EQ(DR_InitRingBuffer(rb, bytes), 0);
    }

    diviv::sim::WorldWriter World() const { return diviv::sim::WorldWriter(Path(diviv::sim::kWorldFile)); }

    // Lines of the board's log program calls.
    std::vector<std::string> LogCalls() const {
        std::ifstream in(Path(diviv::sim::kLogRecordFile));
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }
    bool Logged(const std::string& message) const {
        for (const std::string& l : LogCalls()) {
            if (l.find(message) != std::string::npos) return true;
        }
        return false;
    }

    std::unique_ptr<dr_common_t> record_;
    std::thread thread_;
    dr_flag* alive_ = nullptr;
    dr_flag* request_ = nullptr;
    bool capturing_ = false;
    std::string console_;
};

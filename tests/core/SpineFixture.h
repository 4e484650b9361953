// A simulated board with a fresh shared record installed as drc, the key
// latches cleared and the input threads stopped at the end.
#pragma once

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <atomic>

#include "core/DR_shared.h"
#include "core/Indicator.h"
#include "core/InputHandler.h"
#include "platform/Clock.h"
#include "support/SimBoardFixture.h"

class SpineTest : public SimBoardTest {
protected:
    void SetUp() override {
        SimBoardTest::SetUp();
        ::unsetenv("WDT_ENABLE");
        record_ = NewDrCommon();
        drc = record_.get();
        drc->AppState = STATE_IDLE;
        drc->PWR_DET_State = 1;
        ClearKeyLatches();
        LedMode = {0, 0, 0};
    }
    void TearDown() override {
        StopInputThreads();
        StopTimer();
        drc = nullptr;
        record_.reset();
        SimBoardTest::TearDown();
    }
    // The board input word with the given keys held (contacts open).
    void HoldKeys(uint32_t bits) const { diviv::sim::WriteInputWord(root_, diviv::sim::kInputIdle | bits); }
    std::string Led(int n, const char* file) const {
        return Read("/sys/class/leds/LED" + std::to_string(n) + "/" + file);
    }
    std::string Buzzer(const char* file) const { return Read(std::string("/sys/class/leds/BUZZER/") + file); }

    std::unique_ptr<dr_common_t> record_;
};

// Counts the completed writes of one file (inotify IN_CLOSE_WRITE). A thread
// reads the events as they come: inotify merges identical events left unread.
class WriteCounter {
public:
    explicit WriteCounter(const std::string& path) : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
        if (fd_ >= 0) ::inotify_add_watch(fd_, path.c_str(), IN_CLOSE_WRITE);
        reader_ = std::thread([this] {
            while (!stop_) {
                pollfd p{fd_, POLLIN, 0};
                if (::poll(&p, 1, 5) > 0) Drain();
            }
            Drain();
        });
    }
    ~WriteCounter() {
        stop_ = true;
        reader_.join();
        if (fd_ >= 0) ::close(fd_);
    }
    WriteCounter(const WriteCounter&) = delete;
    WriteCounter& operator=(const WriteCounter&) = delete;
    // Writes seen so far (waits a moment for events still on their way).
    int Count() {
        ::usleep(20000);
        return count_;
    }

private:
    void Drain() {
        alignas(inotify_event) char buf[4096];
        ssize_t n;
        while ((n = ::read(fd_, buf, sizeof buf)) > 0) {
            for (char* p = buf; p < buf + n;) {
                auto* ev = reinterpret_cast<inotify_event*>(p);
                if (ev->mask & IN_CLOSE_WRITE) ++count_;
                p += sizeof(inotify_event) + ev->len;
            }
        }
    }
    int fd_;
    std::atomic<int> count_{0};
    std::atomic<bool> stop_{false};
    std::thread reader_;
};

// Milliseconds taken by f().
template <typename F>
int64_t TimedMs(F&& f) {
    const int64_t start = diviv::MonotonicMs();
    f();
    return diviv::MonotonicMs() - start;
}

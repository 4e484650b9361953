// A simulated board with a fresh shared record installed as drc, the key
// latches cleared and the input threads stopped at the end.
#pragma once

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

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
            for (;;) {
                uint64_t asked;
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    if (stop_) break;
                    asked = asked_;
                }
                pollfd p{fd_, POLLIN, 0};
                ::poll(&p, 1, 5);
                const int seen = Drain();
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    count_ += seen;
                    drained_ = asked;
                }
                changed_.notify_all();
            }
        });
    }
    ~WriteCounter() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        reader_.join();
        if (fd_ >= 0) ::close(fd_);
    }
    WriteCounter(const WriteCounter&) = delete;
    WriteCounter& operator=(const WriteCounter&) = delete;

    // Writes seen so far, every write finished before the call included: the
    // reader is asked for one more pass over the events and answers when done.
    int Count() { return WaitFor(0); }
    // Waits until at least `expected` writes were seen (at most 5 s, far more
    // than any write sequence here takes), then counts as Count() does.
    int WaitFor(int expected) {
        std::unique_lock<std::mutex> lock(mutex_);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        changed_.wait_until(lock, deadline, [&] { return count_ >= expected; });
        const uint64_t ask = ++asked_;
        changed_.wait_until(lock, deadline, [&] { return drained_ >= ask; });
        return count_;
    }

private:
    // Reads every event queued now; returns the completed writes among them.
    int Drain() {
        int seen = 0;
        alignas(inotify_event) char buf[4096];
        ssize_t n;
        while ((n = ::read(fd_, buf, sizeof buf)) > 0) {
            for (char* p = buf; p < buf + n;) {
                auto* ev = reinterpret_cast<inotify_event*>(p);
                if (ev->mask & IN_CLOSE_WRITE) ++seen;
                p += sizeof(inotify_event) + ev->len;
            }
        }
        return seen;
    }
    int fd_;
    std::mutex mutex_;
    std::condition_variable changed_;
    int count_ = 0;          // guarded by mutex_
    uint64_t asked_ = 0;     // passes asked for; guarded by mutex_
    uint64_t drained_ = 0;   // the last pass asked for that is done; guarded by mutex_
    bool stop_ = false;      // guarded by mutex_
    std::thread reader_;
};

// Milliseconds taken by f().
template <typename F>
int64_t TimedMs(F&& f) {
    const int64_t start = diviv::MonotonicMs();
    f();
    return diviv::MonotonicMs() - start;
}

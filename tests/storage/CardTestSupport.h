// A simulated board with an inserted card, the storage module's state reset
// around each test, and helpers that lay recordings onto the card.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>

#include <gmock/gmock.h>

#include "storage/SDFunc.h"
#include "storage/indexf.h"
#include "support/SimBoardFixture.h"

class CardTest : public SimBoardTest {
protected:
    void SetUp() override {
        SimBoardTest::SetUp();
        DeleteAllIndex();
        info_ = SDC_Info_t{};
        info_.latestindex = -1;
    }
    void TearDown() override {
        DeleteAllIndex();
        SimBoardTest::TearDown();
    }

    // Runs fn and returns what it printed on stdout.
    static std::string Console(const std::function<void()>& fn) {
        std::fflush(stdout);
        ::testing::internal::CaptureStdout();
        fn();
        std::fflush(stdout);
        return ::testing::internal::GetCapturedStdout();
    }

    // "/mnt/mmc0_p1/DATA/<two digits>/<name>" under the board root.
    std::string RecordingPath(const std::string& name) const {
        return Path("/mnt/mmc0_p1/DATA/" + name.substr(4, 2) + "/" + name);
    }

    // A (sparse) recording of `bytes` with modification time `mtime`.
    void MakeRecording(const std::string& name, off_t bytes, time_t mtime) const {
        const std::string file = RecordingPath(name);
        std::filesystem::create_directories(std::filesystem::path(file).parent_path());
        const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0) << file;
        ASSERT_EQ(::ftruncate(fd, bytes), 0);
        ::close(fd);
        SetMtime(file, mtime);
    }

    static void SetMtime(const std::string& file, time_t mtime) {
        const timeval times[2] = {{mtime, 0}, {mtime, 0}};
        ASSERT_EQ(::utimes(file.c_str(), times), 0);
    }

    // Lays a recording onto the card and enters it like the writer does.
    void Record(const std::string& name, off_t bytes, time_t mtime) {
        MakeRecording(name, bytes, mtime);
        SetFileInfo("/mnt/mmc0_p1", name.c_str(), &info_, 2048, 0, 60);
    }

    bool Exists(const std::string& board_path) const { return std::filesystem::exists(Path(board_path)); }

    SDC_Info_t info_{};
};

// A card of 300 MB: partition 1 of 256 MiB, partition 2 of 32 MiB.
class SmallCardTest : public CardTest {
protected:
    diviv::sim::SimBoardOptions BoardOptions() const override {
        diviv::sim::SimBoardOptions o;
        o.card_mb = 300;
        o.partitions = {{0x0C, 256}, {0x0C, 32}};
        return o;
    }
};

inline constexpr off_t kMiB = 1024 * 1024;

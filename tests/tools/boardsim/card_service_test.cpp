// The simulated card-watching service: what a card step does to the board's
// folders, mounts file and card-event queue, and how the steps are written.
#include <gtest/gtest.h>

#include <sys/ipc.h>
#include <sys/msg.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "CardService.h"
#include "Scenario.h"
#include "core/CardEvent.h"
#include "sim/SimBoard.h"
#include "sim/SimCardCapacity.h"
#include "support/SimBoardFixture.h"

namespace {

namespace fs = std::filesystem;
using boardsim::CardService;

class CardServiceTest : public SimBoardTest {
protected:
    void SetUp() override {
        SimBoardTest::SetUp();
        service_.emplace(root_);
        service_->Load();
    }
    void TearDown() override {
        const key_t key = ::ftok(Path("/usr/local/sbin/notifysdevent_key").c_str(), 'm');
        const int qid = ::msgget(key, 0);
        if (qid >= 0) ::msgctl(qid, IPC_RMID, nullptr);
        service_.reset();
        SimBoardTest::TearDown();
    }
    // The events waiting on the queue, oldest first, taken off it.
    std::vector<notifysdevent_t> TakeEvents() const {
        std::vector<notifysdevent_t> out;
        const key_t key = ::ftok(Path("/usr/local/sbin/notifysdevent_key").c_str(), 'm');
        const int qid = ::msgget(key, 0);
        struct {
            long type;
            notifysdevent_t ev;
        } m{};
        while (qid >= 0 && ::msgrcv(qid, &m, sizeof m.ev, 0, IPC_NOWAIT) == static_cast<ssize_t>(sizeof m.ev)) {
            EXPECT_EQ(m.type, 1);
            out.push_back(m.ev);
        }
        return out;
    }
    std::string Mounts() const { return Read("/proc/mounts"); }

    std::optional<CardService> service_;
    std::string note_;
};

// A card pulled and put back keeps its files; the mounts file, the card
// image and the slot's device folder follow the card; partition 2 is
// reported before partition 1 on insertion and after it on removal.
TEST_F(CardServiceTest, PulledCardKeepsItsFilesAndEventsComeInMountOrder) {
    fs::create_directories(Path("/mnt/mmc0_p1/DATA/00"));
    ASSERT_TRUE(Write("/mnt/mmc0_p1/DATA/00/FILE00001.ASF", "recording"));
    ASSERT_TRUE(Write("/mnt/mmc0_p2/index", "index"));

    ASSERT_TRUE(service_->RemoveSd(&note_)) << note_;
    EXPECT_TRUE(fs::is_empty(Path("/mnt/mmc0_p1")));
    EXPECT_TRUE(fs::is_empty(Path("/mnt/mmc0_p2")));
    EXPECT_EQ(Mounts().find("mmcblk0"), std::string::npos) << Mounts();
    EXPECT_FALSE(fs::exists(Path("/dev/mmcblk0")));
    EXPECT_FALSE(fs::exists(Path("/sys/bus/mmc/devices/mmc0:0001")));
    std::vector<notifysdevent_t> ev = TakeEvents();
    ASSERT_EQ(ev.size(), 2u);
    EXPECT_EQ(ev[0].type, kCardRemoved);
    EXPECT_STREQ(ev[0].mntdir, "/mnt/mmc0_p1");
    EXPECT_STREQ(ev[0].devname, "/dev/mmcblk0p1");
    EXPECT_STREQ(ev[1].mntdir, "/mnt/mmc0_p2");

    // Written onto the bare mount point meanwhile: hidden by the card.
    ASSERT_TRUE(Write("/mnt/mmc0_p1/stray", "x"));
    ASSERT_TRUE(service_->InsertSd(false, &note_)) << note_;
    EXPECT_EQ(Read("/mnt/mmc0_p1/DATA/00/FILE00001.ASF"), "recording");
    EXPECT_EQ(Read("/mnt/mmc0_p2/index"), "index");
    EXPECT_FALSE(fs::exists(Path("/mnt/mmc0_p1/stray")));
    EXPECT_TRUE(fs::exists(Path("/dev/mmcblk0")));
    EXPECT_TRUE(fs::exists(Path("/sys/bus/mmc/devices/mmc0:0001")));
    EXPECT_NE(Mounts().find("/dev/mmcblk0p1 /mnt/mmc0_p1 vfat ro,"), std::string::npos) << Mounts();
    ev = TakeEvents();
    ASSERT_EQ(ev.size(), 2u);
    EXPECT_EQ(ev[0].type, kCardInserted);
    EXPECT_STREQ(ev[0].mntdir, "/mnt/mmc0_p2");
    EXPECT_STREQ(ev[1].mntdir, "/mnt/mmc0_p1");

    // Inserted again, writable: only the mark changes, the events repeat.
    ASSERT_TRUE(service_->InsertSd(true, &note_)) << note_;
    EXPECT_NE(Mounts().find("/dev/mmcblk0p2 /mnt/mmc0_p2 vfat rw,"), std::string::npos) << Mounts();
    EXPECT_EQ(Read("/mnt/mmc0_p1/DATA/00/FILE00001.ASF"), "recording");
    EXPECT_EQ(TakeEvents().size(), 2u);
}

// The microSD card leaves the free space asked for (as the recorder counts
// it: whole MB of 1 MiB) beside what it holds, and carries the handset's folder.
TEST_F(CardServiceTest, MicroSdCardHasTheFreeSpaceAskedForAndTheCarriersFolder) {
    ASSERT_TRUE(service_->InsertMicroSd(10, "softbank", &note_)) << note_;
    EXPECT_TRUE(fs::is_directory(Path("/mnt/mmc1_p1/PRIVATE/MYFOLDER")));
    EXPECT_NE(Mounts().find("/dev/mmcblk1p1 /mnt/mmc1_p1 vfat rw,"), std::string::npos) << Mounts();
    EXPECT_NE(Mounts().find("/dev/mmcblk0p1"), std::string::npos) << "the SD card stays mounted";
    diviv::CardCapacity cap{};
    ASSERT_EQ(diviv::sim::SimCardCapacity("/mnt/mmc1_p1", &cap), 0);
    const uint64_t free_bytes = cap.avail_blocks * cap.block_size;
    EXPECT_GE(free_bytes, 10u << 20);
    EXPECT_LT(free_bytes, 11u << 20);
    std::vector<notifysdevent_t> ev = TakeEvents();
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].type, kCardInserted);
    EXPECT_STREQ(ev[0].devname, "/dev/mmcblk1p1");
    EXPECT_STREQ(ev[0].slotnum, "1");

    ASSERT_TRUE(service_->RemoveMicroSd(&note_)) << note_;
    EXPECT_EQ(Mounts().find("mmcblk1"), std::string::npos) << Mounts();
    EXPECT_TRUE(fs::is_empty(Path("/mnt/mmc1_p1")));
    ASSERT_TRUE(service_->InsertMicroSd(9, "", &note_)) << note_;
    EXPECT_TRUE(fs::is_directory(Path("/mnt/mmc1_p1/PRIVATE/MYFOLDER"))) << "the same card again";
    ASSERT_EQ(diviv::sim::SimCardCapacity("/mnt/mmc1_p1", &cap), 0);
    EXPECT_GE(cap.avail_blocks * cap.block_size, 9u << 20);
    EXPECT_LT(cap.avail_blocks * cap.block_size, 10u << 20);
    ev = TakeEvents();
    ASSERT_EQ(ev.size(), 2u);
    EXPECT_EQ(ev[0].type, kCardRemoved);
}

TEST(CardSteps, ParseEveryFormAndRefuseTheRest) {
    struct Case {
        const char* line;
        bool ok;
        const char* kind = "";
        bool on = false;
        int param = 0;
        double value = 0;
        const char* file = "";
    };
    const Case cases[] = {
        {"card insert", true, "sd", true, 0, 0, ""},
        {"card remove sd", true, "sd", false, 0, 0, ""},
        {"card insert readonly", true, "sd", true, 1, 0, ""},
        {"card insert microsd", true, "microsd", true, 0, 1024, ""},
        {"card insert microsd --free-mb 9 --carrier au", true, "microsd", true, 0, 9, "au"},
        {"card remove microsd", true, "microsd", false, 0, 1024, ""},
        {"card panic", true, "panic", false, 0, 0, ""},
        {"card event remove /mnt/mmc1_p1", true, "event", false, 2, 0, "/mnt/mmc1_p1"},
        {"card remove readonly", false},
        {"card insert microsd --free-mb", false},
        {"card insert microsd --carrier vodafone", false},
        {"card remove microsd --free-mb 3", false},
        {"card event eject /mnt/mmc0_p1", false},
        {"card event insert mmc0_p1", false},
        {"card", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        boardsim::Step s;
        std::string error;
        ASSERT_EQ(boardsim::ParseStep(c.line, &s, &error), c.ok) << error;
        if (!c.ok) {
            EXPECT_FALSE(error.empty());
            continue;
        }
        EXPECT_EQ(s.verb, boardsim::Verb::Card);
        EXPECT_EQ(s.text, c.kind);
        if (s.text != "panic" && s.text != "event") {
            EXPECT_EQ(s.on, c.on);
        }
        EXPECT_EQ(s.param, c.param);
        if (s.text == "microsd") {
            EXPECT_EQ(s.value, c.value);
        }
        EXPECT_EQ(s.file, c.file);
    }
}

}  // namespace

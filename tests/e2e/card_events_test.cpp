// Card insertions, removals and panics reported by the board's card-watching
// service while the whole recorder runs: the no-card state and its screen
// and LEDs, read-only cards, the microSD card, a card pulled while recording
// (the reboot request, the files kept), events queued before start-up.
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "CardRecordings.h"
#include "ScenarioFixture.h"

namespace {

constexpr int kFileSeconds = 4;

class CardEvents : public RecorderScenario {
protected:
    std::string Log() const { return Board(diviv::sim::kLogRecordFile); }
    // A console line's count since the last run.
    int Count(const std::string& text) const { return CountPrinted(text); }
};

// The idle recorder follows the SD card: pulled (no-card screen, LEDs
// 1,0,3), a read-only card (refused, LEDs 1,3,3, the warning once), a usable
// card taken back (idle, LEDs 1,0,0), with its files.
TEST_F(CardEvents, TheIdleRecorderFollowsTheSdCard) {
    MakeBoard({}, [](Eep_data* e) { e->auto_rec = 1; });  // no recording by itself
    const std::string shots = dir_ + "/shots";
    std::filesystem::create_directories(shots);
    ASSERT_EQ(Run("0 wait line \"OSD_CLOSE\" within 30\n"
                  "+1 screenshot " + shots + "/idle.png\n"
                  "+1 card remove\n"
                  "+0 wait line \"DiViv : Disp NoSD\" within 20\n"
                  "+0 expect led 1 0 3 within 5\n"
                  "+1 screenshot " + shots + "/nocard.png\n"
                  "+0 card insert readonly\n"
                  "+0 wait line \"DiViv : SD CARD IS READ ONLY !\" within 20\n"
                  "+0 expect led 1 3 3 within 5\n"
                  "+0 expect line \"DiViv : Error : SD Card is [Not Found] or [Read Only] or [Illegal Partition Type]\" within 5\n"
                  "+0 card insert\n"
                  "+0 wait line \"DiViv : Clear NoSD\" within 20\n"
                  "+0 expect led 1 0 0 within 5\n"
                  "+0 host 0\n"
                  "+0 expect exit 0 within 30\n",
                  120),
              0)
        << output_;

    // The no-card screen replaced the live picture.
    const std::string idle = diviv::sim::ReadTextFile(shots + "/idle.png");
    const std::string nocard = diviv::sim::ReadTextFile(shots + "/nocard.png");
    ASSERT_FALSE(idle.empty());
    ASSERT_FALSE(nocard.empty());
    EXPECT_NE(idle, nocard);

    // Each removal and insertion reports both partitions; the read-only card
    // is not used.
    EXPECT_EQ(Count("DiViv : SD CARD IS REMOVED ! [partition2]"), 1);
    EXPECT_EQ(Count("DiViv : SD CARD IS INSERTED ! [partition2]"), 2);
    EXPECT_EQ(Count("DiViv : SD CARD IS INSERTED ! [partition1]"), 2);
    EXPECT_EQ(Count("DiViv : Error : SD Card is [Not Found] or [Read Only]"), 1) << "printed once per card event";
    EXPECT_FALSE(Printed("SD CARD IS ALREADY INSERTED")) << output_;

    // The card taken back is the same card, with its files.
    EXPECT_FALSE(Board("/mnt/mmc0_p1/DiVivVer.ini").empty());
    EXPECT_FALSE(Board("/mnt/mmc0_p2/DATA/.INDEXFILE3").empty());
}

// A microSD card with 9 MB free is refused; with 10 MB and a DoCoMo
// handset's folder, in idle, it asks for a transcode.
TEST_F(CardEvents, AnIdleRecorderTakesAMicroSdCardWithTenMegabytesFree) {
    MakeBoard({}, [](Eep_data* e) { e->auto_rec = 1; });
    ASSERT_EQ(Run("0 wait line \"OSD_CLOSE\" within 30\n"
                  "+0 card insert microsd --free-mb 9 --carrier docomo\n"
                  "+0 wait line \"DiViv : Not enough free space in the microSD card\" within 20\n"
                  "+0 card remove microsd\n"
                  "+0 wait line \"DiViv : microSD CARD IS REMOVED !\" within 20\n"
                  "+0 card insert microsd --free-mb 10 --carrier docomo\n"
                  "+0 wait line \"DiViv : ### Mobile Carrier Type is NTT_DOCOMO ###\" within 20\n"
                  "+0 wait line \"DiViv : Transcode Finished\" within 10\n"
                  "+0 host 0\n"
                  "+0 expect exit 0 within 30\n",
                  120),
              0)
        << output_;
    EXPECT_TRUE(Printed("Available=9]")) << output_;
    EXPECT_TRUE(Printed("Available=10]")) << output_;
    EXPECT_EQ(Count("DiViv : microSD CARD IS AVAILABLE  !"), 1);
}

// A card pulled while recording asks for a reboot (the watchdog restarts
// the board); the files closed before are intact and listed when the card
// is back at the next start, where three insertion events wait and only the
// newest counts. A file-system panic asks for a reboot too.
TEST_F(CardEvents, ACardPulledWhileRecordingKeepsItsFilesForTheNextStart) {
    MakeBoard({}, [](Eep_data* e) { e->duration = kFileSeconds; });
    ASSERT_EQ(Run("0 wait line \"VCE : Set EncodeStart=1\" within 30\n"
                  "+0 card event insert /mnt/mmc0_p1\n"
                  "+0 wait line \"DiViv : SD CARD IS ALREADY INSERTED !\" within 20\n"
                  "+0 wait line \"AM : Next File is\" within 20\n"
                  "+0.5 card remove    # handled well before the next file change\n"
                  "+0 expect off within 20\n",
                  120, "", "WDT_ENABLE=60"),
              0)
        << output_;
    EXPECT_TRUE(Printed("DiViv : SD CARD IS REMOVED ! [partition1]")) << output_;
    EXPECT_NE(Log().find("SD memory card is inadequately removed."), std::string::npos) << Log();
    EXPECT_FALSE(Printed("DiViv : Clear NoSD")) << "the card in use was not taken again";

    // The pulled card's files went with it.
    EXPECT_TRUE(e2e::CardRecordings(dir_ + "/mnt/mmc0_p1").empty());
    const std::vector<e2e::Recording> pulled = e2e::CardRecordings(dir_ + "/sim/cards/mmc0_p1");
    ASSERT_GE(pulled.size(), 2u) << output_;

    // Put back before the next start, announced three times.
    ASSERT_EQ(Run("0 card insert\n"
                  "0 card event insert /mnt/mmc0_p1\n"
                  "0 wait line \"OSD_CLOSE\" within 30\n"
                  "+1 card panic\n"
                  "+0 wait line \"DiViv : FAT FileSystem Panic ! --> Reboot the system\" within 20\n"
                  "+0 expect off within 20\n",
                  120, "", "WDT_ENABLE=60"),
              0)
        << output_;
    EXPECT_EQ(Count("DiViv : DEBUG :: !!! skip event message !!!"), 2) << output_;
    EXPECT_EQ(Count("DiViv : SD CARD IS INSERTED ! [partition1]"), 1) << output_;
    EXPECT_TRUE(Printed("DiViv : SD Info and Index Info Already Exist.")) << output_;
    EXPECT_NE(Log().find("Fatal error is found in SD memory card."), std::string::npos) << Log();

    // Every file closed before the card was pulled is back, whole, and listed.
    const std::vector<e2e::Recording> back = e2e::CardRecordings(dir_ + "/mnt/mmc0_p1");
    ASSERT_GE(back.size(), pulled.size());
    int listed = -1, events = -1;
    const size_t at = output_.find("Total ");
    ASSERT_NE(at, std::string::npos) << output_;
    ASSERT_EQ(std::sscanf(output_.c_str() + at, "Total %d ASF Files (including %d", &listed, &events), 2);
    EXPECT_GE(listed, static_cast<int>(pulled.size()) - 1);
    for (size_t k = 0; k + 1 < pulled.size(); ++k) {
        SCOPED_TRACE(pulled[k].name);
        const std::string path = dir_ + "/mnt/mmc0_p1/DATA/" + pulled[k].name.substr(4, 2) + "/" + pulled[k].name;
        const e2e::StreamCounts c = e2e::ReadStreamCounts(DIVIV_MEDIA_BIN, path);
        ASSERT_TRUE(c.ok);
        EXPECT_EQ(c.video_objects, kFileSeconds * 30);
    }
}

// Without the card-event queue (its key file missing) the recorder says so
// and starts all the same.
TEST_F(CardEvents, WithoutTheEventQueueTheRecorderStillStarts) {
    MakeBoard({}, [](Eep_data* e) { e->auto_rec = 1; });
    ASSERT_EQ(std::remove((dir_ + "/usr/local/sbin/notifysdevent_key").c_str()), 0);
    ASSERT_EQ(Run("0 wait line \"OSD_CLOSE\" within 30\n"
                  "+0 expect led 1 0 0 within 10\n"
                  "+3 host 0\n"
                  "+0 expect exit 0 within 30\n",
                  90),
              0)
        << output_;
    EXPECT_EQ(Count("DiViv : polling event[-2]"), 1) << output_;
    EXPECT_GE(Count("fail to create sysv queue key"), 1) << output_;
}

}  // namespace

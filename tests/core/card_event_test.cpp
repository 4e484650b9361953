// Card events: the queue's first-poll rule, malformed messages, fields
// without a terminating zero, and the roads that need no display (a card
// pulled from a running mode, the microSD card's checks and carrier).
#include <gtest/gtest.h>

#include <sys/ipc.h>
#include <sys/msg.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "SpineFixture.h"
#include "core/AppGlobals.h"
#include "core/CardEvent.h"
#include "storage/indexf.h"

namespace {

notifysdevent_t Event(int32_t type, const char* mntdir) {
    notifysdevent_t ev{};
    ev.type = type;
    std::snprintf(ev.mntdir, sizeof ev.mntdir, "%s", mntdir);
    std::snprintf(ev.format, sizeof ev.format, "vfat");
    return ev;
}

class CardEventTest : public SpineTest {
protected:
    void SetUp() override {
        SpineTest::SetUp();
        sd_ = SDC_Info_t{};
        micro_ = SDC_Info_t{};
        sd_.index = 1;
        sd_.NumOfFiles = 5;
        drc->sdinfo = &sd_;
        drc->micro_sdinfo = &micro_;
        app::skip_microSD_event = 0;
        const key_t key = ::ftok(Path("/usr/local/sbin/notifysdevent_key").c_str(), 'm');
        qid_ = ::msgget(key, IPC_CREAT | 0666);
        ASSERT_GE(qid_, 0);
    }
    void TearDown() override {
        DeleteAllIndex();
        ::msgctl(qid_, IPC_RMID, nullptr);
        SpineTest::TearDown();
    }
    // Queues a message text of `size` bytes.
    void Queue(const void* text, size_t size) const {
        struct {
            long type;
            char text[512];
        } m{};
        m.type = 1;
        std::memcpy(m.text, text, size);
        ASSERT_EQ(::msgsnd(qid_, &m, size, IPC_NOWAIT), 0);
    }
    void Queue(const notifysdevent_t& ev) const { Queue(&ev, sizeof ev); }
    // The card's microSD partition table leaving `mb` MB free.
    void MicroSdWithFree(uint64_t mb) const {
        diviv::sim::SimBoardOptions o;
        o.card_mb = 4 + mb;
        o.partitions = {{0x0C, 0}};
        ASSERT_TRUE(diviv::sim::WriteCardImage(Path("/dev/mmcblk1"), o));
    }
    int Handle(const notifysdevent_t& ev) const { return HandleCardEvent(&ev, sizeof ev); }
    static int Count(const std::string& out, const std::string& text) {
        int n = 0;
        for (size_t at = out.find(text); at != std::string::npos; at = out.find(text, at + 1)) ++n;
        return n;
    }

    SDC_Info_t sd_{}, micro_{};
    int qid_ = -1;
};

// The first poll of the run keeps only the newest of the waiting events;
// later polls take them in order. A message of the wrong length is dropped
// without holding up the events behind it.
TEST_F(CardEventTest, FirstPollKeepsTheNewestEventAndBadMessagesAreDropped) {
    drc->AppState = STATE_REC;  // insertions of partition 1 then change nothing
    Queue(Event(kCardInserted, "/mnt/mmc0_p2"));
    Queue(Event(kCardInserted, "/mnt/mmc0_p2"));
    Queue(Event(9, "/mnt/mmc0_p1"));
    testing::internal::CaptureStdout();
    EXPECT_EQ(poll_event(0), 0);
    EXPECT_EQ(poll_event(0), -1) << "nothing left";
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(Count(out, "DiViv : DEBUG :: !!! skip event message !!!"), 2) << out;
    EXPECT_NE(out.find("DiViv : Unknown Event Detected ! [event type=9]"), std::string::npos) << out;
    EXPECT_EQ(out.find("[partition2]"), std::string::npos) << "the older events were dropped: " << out;

    const char short_text[100] = {};
    Queue(short_text, sizeof short_text);
    Queue(Event(kCardInserted, "/mnt/mmc0_p2"));
    Queue(Event(kCardInserted, "/mnt/mmc0_p1"));
    testing::internal::CaptureStdout();
    EXPECT_EQ(poll_event(0), -1) << "the short message";
    EXPECT_EQ(poll_event(0), 0);
    EXPECT_EQ(poll_event(0), 0);
    EXPECT_EQ(poll_event(0), -1);
    out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.find("skip event message"), std::string::npos) << "only on the first poll: " << out;
    EXPECT_NE(out.find("DiViv : SD CARD IS INSERTED ! [partition2]"), std::string::npos) << out;
    EXPECT_NE(out.find("DiViv : SD CARD IS ALREADY INSERTED !"), std::string::npos) << out;
    EXPECT_EQ(sd_.index, 1) << "the card in use is kept";
}

// Text fields are read up to their end when the service fills them whole.
TEST_F(CardEventTest, FieldsWithoutTerminatingZeroStopAtTheirEnd) {
    notifysdevent_t ev = Event(kCardRemoved, "");
    std::memset(ev.devname, 'D', sizeof ev.devname);
    std::memset(ev.mntdir, 'M', sizeof ev.mntdir);
    std::memset(ev.format, 'F', sizeof ev.format);
    testing::internal::CaptureStdout();
    EXPECT_EQ(Handle(ev), 0);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("devname: " + std::string(64, 'D') + "\n"), std::string::npos) << out;
    EXPECT_NE(out.find("format : " + std::string(64, 'F') + "\n"), std::string::npos) << out;
    EXPECT_NE(out.find("DiViv : Unknown REMOVE Event Detected ! [" + std::string(64, 'M') + "]\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(Led(3, "trigger"), "timer") << "LEDs 1,0,3";

    testing::internal::CaptureStdout();
    EXPECT_EQ(HandleCardEvent(&ev, sizeof ev - 1), -1);
    EXPECT_EQ(HandleCardEvent(nullptr, sizeof ev), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

// A card pulled while a mode runs asks for the reboot; the card record is
// forgotten, the state is left to the mode.
TEST_F(CardEventTest, CardPulledWhileRecordingAsksForARebootAndForgetsTheCard) {
    IndexFileStr entry{};
    std::snprintf(entry.FileName, sizeof entry.FileName, "FILE00001.ASF");
    ASSERT_NE(AddIndex(&entry, kAddAtNewest), nullptr);
    drc->AppState = STATE_REC;
    drc->SD_Full = drc->SDErrorState = 1;
    testing::internal::CaptureStdout();
    EXPECT_EQ(Handle(Event(kCardRemoved, "/mnt/mmc0_p1")), 0);
    testing::internal::GetCapturedStdout();
    EXPECT_NE(Read(diviv::sim::kLogRecordFile).find("0xf0000000,SD memory card is inadequately removed."),
              std::string::npos)
        << Read(diviv::sim::kLogRecordFile);
    EXPECT_EQ(drc->AppState.load(), STATE_REC);
    EXPECT_EQ(GetNumOfIndex(), 1) << "the recording writer may still walk the list";
    EXPECT_EQ(sd_.index, -1);
    EXPECT_EQ(sd_.NumOfFiles, 0);
    EXPECT_EQ(drc->SD_Full.load(), 0);
    EXPECT_EQ(drc->SDErrorState.load(), 0);
    EXPECT_EQ(app::print_error_state.load(), 1);
    EXPECT_EQ(Led(1, "brightness"), "1");
    EXPECT_EQ(Led(3, "delay_on"), "500");

    // Pulled while idle: the list goes, the no-card state begins.
    drc->AppState = STATE_IDLE;
    testing::internal::CaptureStdout();
    EXPECT_EQ(Handle(Event(kCardRemoved, "/mnt/mmc0_p1")), 0);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("DiViv : Disp NoSD"), std::string::npos);
    EXPECT_EQ(GetNumOfIndex(), 0);
    EXPECT_EQ(drc->AppState.load(), STATE_NOSD);

    // A panic asks for the reboot as well.
    testing::internal::CaptureStdout();
    EXPECT_EQ(Handle(Event(kCardPanic, "/mnt/mmc0_p1")), 0);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("DiViv : FAT FileSystem Panic ! --> Reboot the system"),
              std::string::npos);
    EXPECT_NE(Read(diviv::sim::kLogRecordFile).find("Fatal error is found in SD memory card."), std::string::npos);
}

// Partition 1's insertion decides between the card in use and the no-card
// state by the mount: writable (formatted when new, then idle), read-only or
// absent (no-card state, the screen drawn again by the main loop). A card
// pulled while recording is taken again once the recording has ended.
TEST_F(CardEventTest, InsertionTakesAWritableCardAndRefusesOthers) {
    const notifysdevent_t ins = Event(kCardInserted, "/mnt/mmc0_p1");
    drc->auto_rec = 0;
    drc->AppState = STATE_NOSD;
    sd_.index = -1;
    app::AutoRecodeEnable = 0;
    testing::internal::CaptureStdout();
    const int rc = Handle(ins);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(rc, 0) << out;
    EXPECT_EQ(drc->AppState.load(), STATE_IDLE);
    EXPECT_EQ(sd_.index, 1);
    EXPECT_EQ(app::AutoRecodeEnable.load(), 1);
    EXPECT_EQ(drc->SDErrorState.load(), 0);
    EXPECT_EQ(Led(1, "brightness"), "1");
    EXPECT_EQ(Led(2, "trigger"), "none") << "LEDs 1,0,0 after the formatting pattern 3,3,0";
    EXPECT_TRUE(std::filesystem::is_directory(Path("/mnt/mmc0_p1/DATA/99"))) << "the new card was formatted";
    EXPECT_FALSE(Read("/mnt/mmc0_p1/setup.ini").empty());
    EXPECT_FALSE(Read("/mnt/mmc0_p1/DiVivVer.ini").empty());
    EXPECT_EQ(Count(out, "DiViv : Formatting SD CARD!"), 1) << out;
    EXPECT_EQ(Count(out, "DiViv : Clear NoSD [msd=1]"), 1) << out;

    // The card in use: nothing changes.
    testing::internal::CaptureStdout();
    Handle(ins);
    out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(Count(out, "DiViv : SD CARD IS ALREADY INSERTED !"), 1) << out;
    EXPECT_EQ(sd_.index, 1);

    // Pulled while recording, then the recording ended by itself: taken again.
    drc->AppState = STATE_REC;
    testing::internal::CaptureStdout();
    Handle(Event(kCardRemoved, "/mnt/mmc0_p1"));
    drc->AppState = STATE_IDLE;
    Handle(ins);
    out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(sd_.index, 1);
    EXPECT_EQ(Count(out, "DiViv : Clear NoSD [msd=1]"), 1) << out;

    for (const bool writable : {false, true}) {
        ASSERT_TRUE(diviv::sim::WriteMounts(root_, !writable, false));  // read-only, then none
        drc->AppState = STATE_NOSD;
        drc->SD_Full = drc->SDErrorState = 0;
        app::DispNoSD_Done = 1;
        LedMode = {0, 0, 0};
        testing::internal::CaptureStdout();
        Handle(ins);
        out = testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find(writable ? "DiViv : No SD\n" : "DiViv : SD CARD IS READ ONLY !\n"), std::string::npos)
            << out;
        EXPECT_EQ(drc->AppState.load(), STATE_NOSD);
        EXPECT_EQ(sd_.index, -1);
        EXPECT_EQ(drc->SD_Full.load(), 1);
        EXPECT_EQ(drc->SDErrorState.load(), 1);
        EXPECT_EQ(app::DispNoSD_Done.load(), 0) << "the main loop redraws the no-card screen";
        EXPECT_EQ(Led(2, "delay_on"), "500") << "LEDs 1,3,3";
    }
}

// The microSD card is taken only when idle, not the once start-up asks to
// skip, and with more than 9 MB free; the handset's folder names the carrier.
TEST_F(CardEventTest, MicroSdNeedsIdleTenMegabytesAndAKnownCarrier) {
    const notifysdevent_t ins = Event(kCardInserted, "/mnt/mmc1_p1");
    testing::internal::CaptureStdout();
    drc->AppState = STATE_LIST;
    EXPECT_EQ(Handle(ins), -4);
    Queue(ins);
    EXPECT_EQ(PollCardEvent(), -4) << "the main loop's poll prints the failure";
    EXPECT_EQ(PollCardEvent(), -1) << "and nothing for no event";
    drc->AppState = STATE_IDLE;
    app::skip_microSD_event = 1;
    EXPECT_EQ(Handle(ins), -5);
    EXPECT_EQ(app::skip_microSD_event.load(), 0);
    EXPECT_EQ(Handle(ins), 0) << "no card image: not found";
    EXPECT_EQ(micro_.index, -1);

    std::filesystem::create_directories(Path("/mnt/mmc1_p1/SD_VIDEO"));
    MicroSdWithFree(10);  // the folder takes a cluster: 9 MB and a little left
    EXPECT_EQ(Handle(ins), 0);
    EXPECT_EQ(drc->TranscodeRequest.load(), 0);
    EXPECT_EQ(micro_.availablesize, 0);
    EXPECT_EQ(micro_.path_name[0], '\0');

    MicroSdWithFree(11);
    EXPECT_EQ(Handle(ins), 0);
    EXPECT_EQ(micro_.availablesize, 10);
    EXPECT_EQ(drc->MobileInfo, MOBILE_DOCOMO);
    EXPECT_EQ(drc->TranscodeRequest.load(), 1);

    drc->TranscodeRequest = 0;
    std::filesystem::remove_all(Path("/mnt/mmc1_p1/SD_VIDEO"));
    EXPECT_EQ(Handle(ins), 0);
    EXPECT_EQ(drc->TranscodeRequest.load(), 0) << "unknown carrier";
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(Count(out, "error detect -4\n"), 1) << out;
    EXPECT_NE(out.find("DiViv : Debug :: microSD CARD Error (STATE is not IDLE !)"), std::string::npos);
    EXPECT_NE(out.find("[Capacity=10 Available=9]\nDiViv : Not enough free space in the microSD card"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("DiViv : ### Mobile Carrier Type is NTT_DOCOMO ###"), std::string::npos);
    EXPECT_NE(out.find("DiViv : ### Mobile Carrier Type is UNKNOWN ###"), std::string::npos);

    std::filesystem::create_directories(Path("/mnt/mmc1_p1/PRIVATE/AU"));
    EXPECT_EQ(DetectMobileCarrier("/mnt/mmc1_p1"), MOBILE_AU);
    std::filesystem::remove_all(Path("/mnt/mmc1_p1/PRIVATE"));
    std::filesystem::create_directories(Path("/mnt/mmc1_p1/PRIVATE/MYFOLDER"));
    EXPECT_EQ(DetectMobileCarrier("/mnt/mmc1_p1"), MOBILE_SOFTBANK);
}

}  // namespace

// The recording writer's rules that need no buffers: where a file ends,
// how many pictures it may hold, the audio packet cycle and its
// corrections, which sensor records wait for a later picture, and the
// text records of the binary stream.
#include <gtest/gtest.h>

#include "recording/MuxRules.h"

namespace {

using namespace diviv::mux;

TEST(MuxFileLength, PictureLimitIsWholeGopsOfTheRecordTime) {
    EXPECT_EQ(PictureLimit(60, 15.0f, 30), 900);   // 60 s at 15 per second
    EXPECT_EQ(PictureLimit(60, 30.0f, 30), 1800);
    EXPECT_EQ(PictureLimit(2, 30.0f, 30), 60);
    EXPECT_EQ(PictureLimit(5, 10.0f, 30), 60);     // 50 rounded up to two GOPs
    EXPECT_EQ(PictureLimit(1, 10.0f, 30), 30);     // less than a GOP: one GOP
    EXPECT_EQ(PictureLimit(7, 10.0f, 1), 70);      // GOP 1: no rounding
    EXPECT_EQ(PictureLimit(3, 7.5f, 4), 24);       // 22.5 -> 22 -> 24
}

TEST(MuxFileLength, AFileEndsOnlyOnAGopBoundaryOnceItsTimeIsUp) {
    // 15 pictures per second, GOP 30, 60 s: the time is up at picture 900.
    EXPECT_FALSE(FileEnds(59933, 60, 899, 30, 900));
    EXPECT_TRUE(FileEnds(60000, 60, 900, 30, 900));
    // A gap in the pictures brings the time up early: the file still ends
    // only after a whole GOP.
    EXPECT_FALSE(FileEnds(60100, 60, 880, 30, 900));
    EXPECT_TRUE(FileEnds(60100, 60, 870, 30, 900));
    // Without gaps the picture limit ends it even if the time is not up.
    EXPECT_TRUE(FileEnds(59000, 60, 900, 30, 900));
    EXPECT_FALSE(FileEnds(1999, 2, 60, 0, 61)) << "GOP 0 counts as 1";
    EXPECT_TRUE(FileEnds(2000, 2, 60, 0, 61));
}

TEST(MuxFileLength, PictureTimesFollowTheCaptureGrid) {
    EXPECT_EQ(VideoPts(100, 100), 0u);
    EXPECT_EQ(VideoPts(101, 100), 33u);
    EXPECT_EQ(VideoPts(103, 100), 100u);
    EXPECT_EQ(VideoPts(160, 100), 2000u);
    // The frame number may wrap around 2^32 within a file.
    EXPECT_EQ(VideoPts(2u, 0xFFFFFFFEu), 133u);
}

TEST(MuxAudioPackets, ThreePacketsMakeOneHundredMilliseconds) {
    int bytes = 0;
    uint32_t ms = 0;
    for (int i = 0; i < 3; ++i) {
        bytes += AudioPacketBytes(i);
        ms += AudioPacketMs(AudioPacketBytes(i));
    }
    EXPECT_EQ(AudioPacketBytes(0), 132);
    EXPECT_EQ(AudioPacketBytes(1), 132);
    EXPECT_EQ(AudioPacketBytes(2), 136);
    EXPECT_EQ(AudioPacketBytes(3), 132);
    EXPECT_EQ(bytes, kAudioBlockBytes);
    EXPECT_EQ(ms, 100u);
    EXPECT_EQ(AudioPacketMs(132), 33u);
    EXPECT_EQ(AudioPacketMs(136), 34u);
}

TEST(MuxAudioPackets, CorrectionsBeyondTwentyMillisecondsTakeTheWholeOffset) {
    EXPECT_EQ(AudioAdjustment(0.0), 0);
    EXPECT_EQ(AudioAdjustment(0.02), 0) << "within 20 ms: stamp jitter, left alone";
    EXPECT_EQ(AudioAdjustment(-0.02), 0);
    EXPECT_EQ(AudioAdjustment(0.021), 1) << "sound ahead of the picture: drop";
    EXPECT_EQ(AudioAdjustment(-0.031), -1);
    EXPECT_EQ(AudioAdjustment(0.04), 1);
    EXPECT_EQ(AudioAdjustment(-0.08), -2) << "the microphone started late: silence inserted";
    EXPECT_EQ(AudioAdjustment(0.101), 3);
    EXPECT_EQ(AudioAdjustment(-0.25), -8) << "a quarter second behind is 7.5 packets: rounded, not cut to 3";
    EXPECT_EQ(AudioAdjustment(2.0), 60) << "after a long gap the whole offset goes at once";
}

TEST(MuxAudioPackets, TopUpStopsOnePacketShortOfTheNextPicture) {
    EXPECT_EQ(AudioTopUpEnd(2033), 2000u);
    EXPECT_EQ(AudioTopUpEnd(2100), 2066u);  // on a multiple of 100: 34 ms short
    EXPECT_EQ(AudioTopUpEnd(20), 0u);
}

TEST(MuxAudioPackets, WithoutAGapTheSoundCoversTheLastPicture) {
    // Last picture at 1966, next at 2000: the packet at 1966 still belongs
    // to this file.
    EXPECT_EQ(LastPictureSoundEnd(2000), 1984u);
    EXPECT_GT(LastPictureSoundEnd(2000), 1966u);
    EXPECT_LT(LastPictureSoundEnd(2000), 2000u);
    EXPECT_EQ(LastPictureSoundEnd(10), 0u);
}

TEST(MuxSensorTiming, GpsAndPulseRecordsWaitForTheirPicture) {
    // 30 pictures per second: half a frame is 16.7 ms.
    EXPECT_EQ(PulseOrGpsTiming(0.0, 30.0f), RecordTiming::kWrite);
    EXPECT_EQ(PulseOrGpsTiming(-0.016, 30.0f), RecordTiming::kWrite);
    EXPECT_EQ(PulseOrGpsTiming(-0.017, 30.0f), RecordTiming::kHold);
    EXPECT_EQ(PulseOrGpsTiming(5.0, 30.0f), RecordTiming::kWrite) << "old records are written, never skipped";
    EXPECT_EQ(PulseOrGpsTiming(-0.03, 15.0f), RecordTiming::kWrite);
    EXPECT_EQ(PulseOrGpsTiming(-0.034, 15.0f), RecordTiming::kHold);
}

TEST(MuxSensorTiming, ContactRecordsWaitOrAreSkippedWhenStale) {
    EXPECT_EQ(ContactTiming(-0.033, 30.0f), RecordTiming::kWrite);
    EXPECT_EQ(ContactTiming(-0.034, 30.0f), RecordTiming::kHold);
    EXPECT_EQ(ContactTiming(0.1, 30.0f), RecordTiming::kWrite);
    EXPECT_EQ(ContactTiming(0.101, 30.0f), RecordTiming::kCatchUp);
    EXPECT_FALSE(ContactCatchUpEnds(0.05));
    EXPECT_TRUE(ContactCatchUpEnds(0.0));
    EXPECT_TRUE(ContactCatchUpEnds(-0.2));
}

TEST(MuxTextRecords, RecordsHaveTheirFixedLayouts) {
    const uint8_t a[8] = {'A', 'B', 'C', 'D', '0', '1', '2', '3'};
    const uint8_t b[8] = {'0', '0', '0', '0', '0', '0', '0', '0'};
    const std::string id = IdRecord(a, b, b, a);
    EXPECT_EQ(id, "$ID1,ABCD0123,$ID2,00000000,$ID3,00000000,$ID4,ABCD0123\r\n");
    EXPECT_EQ(id.size(), 57u);
    EXPECT_EQ(SpeedPulseRecord(42), "$SPCNT,00000042\r\n");
    EXPECT_EQ(EnginePulseRecord(12345678), "$ENCNT,12345678\r\n");
    EXPECT_EQ(SpeedPulseRecord(0).size(), 17u);
    // Bits 3..0 of the contact sample, most significant first; the higher
    // inputs are not shown.
    EXPECT_EQ(ContactRecord(0x0), "$PIN,00000000\r\n");
    EXPECT_EQ(ContactRecord(0x9), "$PIN,00001001\r\n");
    EXPECT_EQ(ContactRecord(0x72), "$PIN,00000010\r\n");
    EXPECT_EQ(ContactRecord(0).size(), 15u);
}

}  // namespace

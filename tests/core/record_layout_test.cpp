// Records that cross a boundary (ring buffers between threads, driver
// requests, System V messages from peers, files on the card) keep the same
// size and field places on the 32-bit board as on a 64-bit PC. A field moved
// by padding or a 64-bit "long" would only show on the board; these run
// under the ARM emulator too.
#include <gtest/gtest.h>

#include <cstddef>

#include "core/CardEvent.h"
#include "core/DR_shared.h"
#include "platform/Clock.h"
#include "platform/GpsRecord.h"
#include "platform/SensorRecords.h"
#include "recording/VideoInfo.h"
#include "storage/indexf.h"

namespace {

TEST(RecordLayout, RingBufferRecordsHaveTheirSizes) {
    EXPECT_EQ(sizeof(gps_buffer), 108u);
    EXPECT_EQ(sizeof(gsensor_buffer), 16u);
    EXPECT_EQ(sizeof(pulse_input_buffer), 28u);
    EXPECT_EQ(sizeof(cont_input_buffer), 12u);
    EXPECT_EQ(sizeof(video_info_t), 24u);
    EXPECT_EQ(sizeof(dr_timeval), 8u);  // the sound's capture stamp
    // The ring-buffer constants the writers and readers pass are the records' sizes.
    EXPECT_EQ(kGpsRecordSize, static_cast<int>(sizeof(gps_buffer)));
    EXPECT_EQ(kGsensorRecordSize, static_cast<int>(sizeof(gsensor_buffer)));
    EXPECT_EQ(kPulseRecordSize, static_cast<int>(sizeof(pulse_input_buffer)));
    EXPECT_EQ(kContactRecordSize, static_cast<int>(sizeof(cont_input_buffer)));
    EXPECT_EQ(kVideoInfoRecordSize, static_cast<int>(sizeof(video_info_t)));
    EXPECT_EQ(kAudioStampRecordSize, static_cast<int>(sizeof(dr_timeval)));
    EXPECT_EQ(kPlayStampRecordSize, 4);
}

TEST(RecordLayout, TimeRecordIsTwo32BitWords) {
    EXPECT_EQ(offsetof(dr_timeval, tv_sec), 0u);
    EXPECT_EQ(offsetof(dr_timeval, tv_usec), 4u);
    EXPECT_EQ(sizeof(dr_timeval::tv_sec), 4u);
    EXPECT_EQ(sizeof(dr_timeval::tv_usec), 4u);
}

TEST(RecordLayout, SensorRecordsKeepTheDriversFieldPlaces) {
    EXPECT_EQ(offsetof(gsensor_buffer, timestamp), 0u);
    EXPECT_EQ(offsetof(gsensor_buffer, xaxis), 8u);
    EXPECT_EQ(offsetof(gsensor_buffer, yaxis), 9u);
    EXPECT_EQ(offsetof(gsensor_buffer, zaxis), 10u);
    EXPECT_EQ(offsetof(gsensor_buffer, event), 11u);
    EXPECT_EQ(offsetof(gsensor_buffer, flag), 12u);

    EXPECT_EQ(offsetof(gsensor_threshold_axis, x_positive), 0u);
    EXPECT_EQ(offsetof(gsensor_threshold_axis, z_negative), 20u);
    EXPECT_EQ(sizeof(gsensor_threshold_axis), 24u);

    EXPECT_EQ(offsetof(pulse_input_buffer, flag), 0u);
    EXPECT_EQ(offsetof(pulse_input_buffer, timestamp), 4u);
    EXPECT_EQ(offsetof(pulse_input_buffer, elapsed_time), 12u);
    EXPECT_EQ(offsetof(pulse_input_buffer, count_gpt1), 20u);
    EXPECT_EQ(offsetof(pulse_input_buffer, count_gpt2), 24u);

    EXPECT_EQ(offsetof(cont_input_buffer, timestamp), 0u);
    EXPECT_EQ(offsetof(cont_input_buffer, sigin), 8u);

    EXPECT_EQ(offsetof(gps_buffer, timestamp), 0u);
    EXPECT_EQ(offsetof(gps_buffer, rmc_data), 8u);
}

TEST(RecordLayout, PictureRecordKeepsItsFieldPlaces) {
    EXPECT_EQ(offsetof(video_info_t, KeyFrame), 0u);
    EXPECT_EQ(offsetof(video_info_t, DataLength), 4u);
    EXPECT_EQ(offsetof(video_info_t, FrameTime), 8u);
    EXPECT_EQ(offsetof(video_info_t, Reserved), 12u);
    EXPECT_EQ(offsetof(video_info_t, CaptureTime), 16u);
}

TEST(RecordLayout, MessagesFromPeersKeepTheirFieldPlaces) {
    // Host message: 64 bytes, the command in word 0 and its parameter (or a
    // text) from byte 4.
    EXPECT_EQ(sizeof(commsg_t), 64u);
    EXPECT_EQ(sizeof(commsg_t::MsgLong[0]), 4u);
    EXPECT_EQ(offsetof(commsg_t, MsgLong[1]), 4u);
    // The System V message carries the host's own long before the text;
    // only the text's 64 bytes are sent and received.
    EXPECT_EQ(offsetof(msg_t, md), sizeof(long));

    // Card event: two 32-bit words and four 64-byte texts, 264 bytes.
    EXPECT_EQ(sizeof(notifysdevent_t), 264u);
    EXPECT_EQ(offsetof(notifysdevent_t, type), 0u);
    EXPECT_EQ(offsetof(notifysdevent_t, result), 4u);
    EXPECT_EQ(offsetof(notifysdevent_t, devname), 8u);
    EXPECT_EQ(offsetof(notifysdevent_t, slotnum), 72u);
    EXPECT_EQ(offsetof(notifysdevent_t, mntdir), 136u);
    EXPECT_EQ(offsetof(notifysdevent_t, format), 200u);
}

TEST(RecordLayout, IndexLineIsFortySixBytes) {
    EXPECT_EQ(kIndexLineLength, 46);
}

}  // namespace

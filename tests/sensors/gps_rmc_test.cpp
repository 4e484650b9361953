// The GPS receiver's sentence handling on the simulated board: RMC fields
// read by position, the real-time clock set from satellite time (UTC + 9
// hours, 20yy, once and then hourly), the data-valid flag, RMC records in
// rmc_buf only while a recording is encoded, and the simulated RTC itself.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/rtc.h>

#include <cerrno>
#include <optional>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "core/DR_shared.h"
#include "sensors/GpsReceiveThread.h"
#include "sensors/GpsRmc.h"
#include "sim/SimRtc.h"
#include "support/SimBoardFixture.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;

// "$" body "*HH" CR, as the receiver keeps a sentence (the LF is not kept).
std::string Sentence(const std::string& body) {
    unsigned sum = 0;
    for (char c : body) sum ^= static_cast<unsigned char>(c);
    char tail[8];
    std::snprintf(tail, sizeof tail, "*%02X\r", sum);
    return "$" + body + tail;
}

int CountOf(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
    return n;
}

class GpsRecordTest : public SimBoardTest {
protected:
    void SetUp() override {
        SimBoardTest::SetUp();
        dr_ = NewDrCommon();
        ASSERT_EQ(DR_InitRingBuffer(&dr_->rmc_buf, 2048), 0);
        drc = dr_.get();
        GpsForgetProcessState();
        // The clock conversion uses the process's zone: UTC makes the RTC
        // read exactly UTC + 9 hours.
        const char* tz = std::getenv("TZ");
        old_tz_ = tz ? std::optional<std::string>(tz) : std::nullopt;
        ::setenv("TZ", "UTC0", 1);
        ::tzset();
    }
    void TearDown() override {
        if (old_tz_) ::setenv("TZ", old_tz_->c_str(), 1); else ::unsetenv("TZ");
        ::tzset();
        DR_FreeRingBuffer(&dr_->rmc_buf);
        drc = nullptr;
        SimBoardTest::TearDown();
    }

    // Runs fn with the console captured; returns what it printed.
    template <typename Fn>
    std::string Console(Fn fn) {
        testing::internal::CaptureStdout();
        fn();
        std::fflush(stdout);
        return testing::internal::GetCapturedStdout();
    }
    std::string RtcSettings() const { return Read(diviv::sim::kRtcSetLog); }
    std::string Logged() const { return Read(diviv::sim::kLogRecordFile); }

    std::vector<gps_buffer> Records() {
        std::vector<gps_buffer> out;
        while (DR_GetRingBufferReadAvailable(&dr_->rmc_buf) >= kGpsRecordSize) {
            gps_buffer r{};
            DR_ReadRingBuffer(&dr_->rmc_buf, &r, kGpsRecordSize);
            out.push_back(r);
        }
        return out;
    }

    std::unique_ptr<dr_common_t> dr_;
    std::optional<std::string> old_tz_;
};

// Standing still: speed 0 and no course, the case receivers send most.
const std::string kStanding = Sentence("GPRMC,203000.000,A,3540.8742,N,13946.0275,E,0.00,,311299,,");
const std::string kMoving = Sentence("GPRMC,012345.000,A,3540.8742,N,13946.0275,E,19.44,87.50,150624,,");
const std::string kNoFix = Sentence("GPRMC,012346.000,V,,,,,,,150624,,");

// --- fields by position -----------------------------------------------------

TEST(GpsFields, EmptyFieldsKeepTheirPlaceAndTheChecksumIsNotAField) {
    const std::vector<std::string_view> f = diviv::gps::SplitFields(kStanding);
    ASSERT_EQ(f.size(), 12u);
    EXPECT_EQ(f[0], "$GPRMC");
    EXPECT_EQ(f[diviv::gps::kRmcSpeedField], "0.00");
    EXPECT_EQ(f[diviv::gps::kRmcCourseField], "");
    EXPECT_EQ(f[diviv::gps::kRmcDateField], "311299");
    EXPECT_EQ(f[11], "");
}

TEST(GpsFields, TimeAndDateAreCheckedForLengthDigitsAndRange) {
    diviv::gps::RmcClock c;
    std::string bad;
    EXPECT_TRUE(diviv::gps::ReadRmcClock(kMoving, &c, &bad));
    EXPECT_EQ(c.hour, 1);
    EXPECT_EQ(c.min, 23);
    EXPECT_EQ(c.sec, 45);
    EXPECT_EQ(c.mday, 15);
    EXPECT_EQ(c.mon, 5);
    EXPECT_EQ(c.year, 124);
    for (const char* time : {"12345.000", "1234567.000", "12a456.000", "240000.000", "126000.000"}) {
        EXPECT_FALSE(diviv::gps::ReadRmcClock(Sentence(std::string("GPRMC,") + time + ",A,,,,,,,150624,,"), &c, &bad))
            << time;
        EXPECT_EQ(bad, time);
    }
    for (const char* date : {"15062", "1506245", "150x24", "001224", "151324", ""}) {
        EXPECT_FALSE(diviv::gps::ReadRmcClock(Sentence(std::string("GPRMC,012345.000,A,,,,,,,") + date + ",,"), &c, &bad))
            << date;
        EXPECT_EQ(bad, date);
    }
    EXPECT_FALSE(diviv::gps::ReadRmcClock("$GPRMC,012345.000,A*00\r", &c, &bad)) << "no date field at all";
    EXPECT_EQ(bad, "");
}

// --- the clock --------------------------------------------------------------

TEST_F(GpsRecordTest, AStandingVehiclesSentenceSetsTheClockToUtcPlusNineWith2099For99) {
    int rc = 1;
    const std::string out = Console([&] { rc = GpsRTC(kStanding.c_str()); });
    EXPECT_EQ(rc, 0) << out;
    // 2099-12-31 20:30:00 UTC is 2100-01-01 05:30:00 on the board's clock.
    EXPECT_EQ(RtcSettings(), "2100-01-01 05:30:00\n");
    EXPECT_THAT(out, HasSubstr("GPS : rtc time [203000.000]\n"));
    EXPECT_THAT(out, HasSubstr("GPS : rtc hour[20] min[30] sec[0]\n"));
    EXPECT_THAT(out, HasSubstr("GPS : rtc year[199] mon[11] mday[31]\n"));
    EXPECT_THAT(out, HasSubstr("GPS : RTC update\n"));
    // The driver's text follows, showing the clock just set.
    EXPECT_THAT(out, HasSubstr("rtc_date\t: 2100-01-01\n"));
    EXPECT_THAT(out, HasSubstr("rtc_time\t: 05:30:0"));
}

TEST_F(GpsRecordTest, AMovingVehiclesSentenceSetsTheClockFromItsOwnDate) {
    const std::string out = Console([&] { EXPECT_EQ(GpsRTC(kMoving.c_str()), 0); });
    EXPECT_EQ(RtcSettings(), "2024-06-15 10:23:45\n") << out;
}

TEST_F(GpsRecordTest, AMissingOrMalformedTimeOrDateIsAFormatErrorAndSetsNothing) {
    const std::string no_date = Sentence("GPRMC,012345.000,A,3540.8742,N,13946.0275,E,0.00,,,,");
    std::string out = Console([&] { EXPECT_EQ(GpsRTC(no_date.c_str()), -1); });
    EXPECT_THAT(out, HasSubstr("GPS : rmc format error[]\n"));
    EXPECT_THAT(out, HasSubstr("GPS : rtc time [012345.000]\n")) << "the time was good";

    const std::string short_time = Sentence("GPRMC,12345.00,A,3540.8742,N,13946.0275,E,0.00,,150624,,");
    out = Console([&] { EXPECT_EQ(GpsRTC(short_time.c_str()), -1); });
    EXPECT_THAT(out, HasSubstr("GPS : rmc format error[12345.00]\n"));
    EXPECT_THAT(out, Not(HasSubstr("GPS : rtc time")));

    out = Console([&] { EXPECT_EQ(GpsRTC("$GPRMC\r"), -1); });
    EXPECT_THAT(out, HasSubstr("GPS : rmc format error[]\n"));
    EXPECT_EQ(RtcSettings(), "");
}

TEST_F(GpsRecordTest, ClockDeviceFailuresAreReportedAndLogged) {
    board().Devices().Register(diviv::sim::kRtcDevicePath, [](const std::string&, int, int* error) {
        *error = -ENOENT;
        return std::unique_ptr<diviv::Device>();
    });
    std::string out = Console([&] { EXPECT_EQ(GpsRTC(kMoving.c_str()), -1); });
    EXPECT_THAT(out, HasSubstr("GPS : RTC device open error\n"));
    EXPECT_THAT(Logged(), HasSubstr("0x00000000,Failure of opening the device."));

    board().Devices().Register(diviv::sim::kRtcDevicePath, [](const std::string& path, int flags, int* error) {
        std::unique_ptr<diviv::Device> rtc = diviv::sim::MakeSimRtc(path, flags, error);
        dynamic_cast<diviv::sim::DeviceModel&>(*rtc).InjectFault({diviv::sim::FaultOp::kIoctl, RTC_SET_TIME, EIO});
        return rtc;
    });
    out = Console([&] { EXPECT_EQ(GpsRTC(kMoving.c_str()), -1); });
    EXPECT_THAT(out, HasSubstr("GPS : RTC device write error\n"));
    EXPECT_THAT(out, Not(HasSubstr("GPS : RTC update")));
    EXPECT_THAT(Logged(), HasSubstr("0x00000000,Failure of writing to buffer."));
    EXPECT_EQ(RtcSettings(), "");

    // The clock was set, but the driver refused the close.
    board().Devices().Register(diviv::sim::kRtcDevicePath, [](const std::string& path, int flags, int* error) {
        std::unique_ptr<diviv::Device> rtc = diviv::sim::MakeSimRtc(path, flags, error);
        dynamic_cast<diviv::sim::DeviceModel&>(*rtc).InjectFault({diviv::sim::FaultOp::kClose, 0, EIO});
        return rtc;
    });
    out = Console([&] { EXPECT_EQ(GpsRTC(kMoving.c_str()), -1); });
    EXPECT_THAT(out, HasSubstr("GPS : RTC device close error\n"));
    EXPECT_THAT(out, Not(HasSubstr("GPS : RTC update")));
    EXPECT_THAT(Logged(), HasSubstr("0x00000000,Failure of closing the device."));
}

// --- examining sentences ----------------------------------------------------

TEST_F(GpsRecordTest, TheFirstValidSentenceSetsTheClockAndTheNextOnlyAfterAnHour) {
    int rtccnt = 12;
    std::string out = Console([&] { ChkRmc(dr_.get(), kStanding.c_str(), &rtccnt); });
    EXPECT_THAT(out, HasSubstr("[Recv(" + std::to_string(kStanding.size()) + ")cnt[12]]:" + kStanding + "\n"));
    EXPECT_THAT(out, HasSubstr("GPS : RTC rtccnt[12]\n"));
    EXPECT_THAT(out, HasSubstr("GPS : Receive data is valid !\n"));
    EXPECT_EQ(rtccnt, 0) << "the age of the setting starts again";
    EXPECT_EQ(dr_->GPSReceiveDataValid.load(), 1);

    rtccnt = 3600;
    out = Console([&] { ChkRmc(dr_.get(), kMoving.c_str(), &rtccnt); });
    EXPECT_THAT(out, Not(HasSubstr("GPS : RTC rtccnt")));
    EXPECT_THAT(out, Not(HasSubstr("Receive data is valid"))) << "printed on the change only";
    EXPECT_EQ(rtccnt, 3600);

    rtccnt = 3601;
    out = Console([&] { ChkRmc(dr_.get(), kMoving.c_str(), &rtccnt); });
    EXPECT_THAT(out, HasSubstr("GPS : RTC rtccnt[3601]\n"));
    EXPECT_EQ(rtccnt, 0);
    EXPECT_EQ(RtcSettings(), "2100-01-01 05:30:00\n2024-06-15 10:23:45\n");
}

TEST_F(GpsRecordTest, ANewReceiverThreadDoesNotSetTheClockAgainWithinTheHour) {
    int rtccnt = 0;
    Console([&] { ChkRmc(dr_.get(), kMoving.c_str(), &rtccnt); });
    int next_thread_count = 0;  // a restarted thread counts from 0
    const std::string out = Console([&] { ChkRmc(dr_.get(), kStanding.c_str(), &next_thread_count); });
    EXPECT_THAT(out, Not(HasSubstr("GPS : RTC rtccnt")));
    EXPECT_EQ(RtcSettings(), "2024-06-15 10:23:45\n");
}

TEST_F(GpsRecordTest, AFailedSettingLeavesTheCounterSoTheNextValidSentenceTriesAgain) {
    board().Devices().Register(diviv::sim::kRtcDevicePath, [](const std::string&, int, int* error) {
        *error = -ENOENT;
        return std::unique_ptr<diviv::Device>();
    });
    int rtccnt = 5;
    std::string out = Console([&] { ChkRmc(dr_.get(), kMoving.c_str(), &rtccnt); });
    EXPECT_THAT(out, HasSubstr("GPS : RTC device open error"));
    EXPECT_EQ(rtccnt, 5);
    EXPECT_EQ(dr_->GPSReceiveDataValid.load(), 1) << "the data is valid all the same";
    board().Devices().Register(diviv::sim::kRtcDevicePath, diviv::sim::MakeSimRtc);
    rtccnt = 6;
    out = Console([&] { ChkRmc(dr_.get(), kMoving.c_str(), &rtccnt); });
    EXPECT_THAT(out, HasSubstr("GPS : RTC rtccnt[6]\n"));
    EXPECT_EQ(rtccnt, 0);
}

TEST_F(GpsRecordTest, NoFixClearsTheValidFlagAndNeverSetsTheClock) {
    int rtccnt = 0;
    std::string out = Console([&] { ChkRmc(dr_.get(), kNoFix.c_str(), &rtccnt); });
    EXPECT_EQ(dr_->GPSReceiveDataValid.load(), 0);
    EXPECT_THAT(out, Not(HasSubstr("invalid"))) << "it was not valid before";
    Console([&] { ChkRmc(dr_.get(), kMoving.c_str(), &rtccnt); });
    rtccnt = 4000;
    out = Console([&] { ChkRmc(dr_.get(), kNoFix.c_str(), &rtccnt); });
    EXPECT_THAT(out, HasSubstr("GPS : Receive data is invalid !\n"));
    EXPECT_THAT(out, Not(HasSubstr("RTC")));
    EXPECT_EQ(dr_->GPSReceiveDataValid.load(), 0);
    EXPECT_EQ(RtcSettings(), "2024-06-15 10:23:45\n") << "set once, by the valid sentence";
}

TEST_F(GpsRecordTest, AnUnknownStatusIsAFormatErrorAndOtherSentencesAreNotExamined) {
    int rtccnt = 0;
    dr_->GPSWriteRmcData = 1;
    dr_->EncodeStart = 1;
    // With a 9-character time the status is not where it belongs.
    const std::string nine_digit_time = Sentence("GPRMC,012345.00,A,3540.8742,N,13946.0275,E,0.00,,150624,,");
    std::string out = Console([&] { ChkRmc(dr_.get(), nine_digit_time.c_str(), &rtccnt); });
    EXPECT_THAT(out, HasSubstr("GPS : RMC Data format error[" + nine_digit_time + "\n"));
    EXPECT_EQ(dr_->GPSReceiveDataValid.load(), 0);
    EXPECT_EQ(RtcSettings(), "");

    const std::string gga = Sentence("GPGGA,012345.000,3540.8742,N,13946.0275,E,1,08,1.0,35.0,M,39.5,M,,0000");
    out = Console([&] { ChkRmc(dr_.get(), gga.c_str(), &rtccnt); });
    EXPECT_EQ(out, "");
    EXPECT_EQ(Records().size(), 1u) << "only the malformed RMC sentence was handed over";
}

// --- records for the writer -------------------------------------------------

TEST_F(GpsRecordTest, RecordsReachTheBufferOnlyWhileTheWriterWantsThemAndEncodingRuns) {
    int rtccnt = 0;
    const struct {
        int write_rmc, encode_start;
        size_t records;
    } cases[] = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 2}};
    for (const auto& c : cases) {
        dr_->GPSWriteRmcData = c.write_rmc;
        dr_->EncodeStart = c.encode_start;
        Console([&] {
            ChkRmc(dr_.get(), kMoving.c_str(), &rtccnt);
            ChkRmc(dr_.get(), kNoFix.c_str(), &rtccnt);  // whatever the status
        });
        EXPECT_EQ(Records().size(), c.records) << "GPSWriteRmcData " << c.write_rmc << ", EncodeStart " << c.encode_start;
    }
}

TEST_F(GpsRecordTest, ARecordIsTheTimeOfDayAndTheSentenceWithItsCrPaddedWithNul) {
    char sentence[kGpsSentenceSize] = {};
    std::memcpy(sentence, kMoving.data(), kMoving.size());
    const dr_timeval before = diviv::Now();
    ASSERT_EQ(put_rmc(sentence), kGpsRecordSize);
    const dr_timeval after = diviv::Now();
    const std::vector<gps_buffer> recs = Records();
    ASSERT_EQ(recs.size(), 1u);
    const auto us = [](const dr_timeval& t) { return int64_t{t.tv_sec} * 1000000 + t.tv_usec; };
    EXPECT_GE(us(recs[0].timestamp), us(before));
    EXPECT_LE(us(recs[0].timestamp), us(after));
    EXPECT_EQ(std::string(recs[0].rmc_data), kMoving);
    EXPECT_EQ(kMoving.back(), '\r');
    for (size_t i = kMoving.size(); i < sizeof recs[0].rmc_data; ++i) ASSERT_EQ(recs[0].rmc_data[i], '\0') << i;
}

TEST_F(GpsRecordTest, AFullBufferDropsRecordsReportsOnceAndLogsEachDrop) {
    int written = 0;
    while (DR_GetRingBufferWriteAvailable(&dr_->rmc_buf) >= kGpsRecordSize) {
        ASSERT_EQ(put_rmc(kMoving.c_str()), kGpsRecordSize);
        ++written;
    }
    EXPECT_EQ(written, 2048 / kGpsRecordSize);
    const std::string out = Console([&] {
        EXPECT_EQ(put_rmc(kMoving.c_str()), 0);
        EXPECT_EQ(put_rmc(kMoving.c_str()), 0);
    });
    EXPECT_EQ(CountOf(out, "GPS : #### RMC Buffer is FULL !! ###\n"), 1);
    EXPECT_EQ(CountOf(Logged(), "Failure of writing to buffer."), 2);
    EXPECT_EQ(static_cast<int>(Records().size()), written) << "whole records only, none torn";
}

TEST_F(GpsRecordTest, NothingIsWrittenOnceTheReceiverIsAskedToStop) {
    dr_->REQ_GPS_CLOSE = 1;
    EXPECT_EQ(put_rmc(kMoving.c_str()), 0);
    EXPECT_TRUE(Records().empty());
}

// --- the simulated clock ----------------------------------------------------

class SimRtcTest : public SimBoardTest {};

TEST_F(SimRtcTest, KeepsTheTimeItWasGivenAndRunsOnFromIt) {
    int error = 0;
    auto rtc = board().OpenDevice(diviv::sim::kRtcDevicePath, O_RDONLY, &error);
    ASSERT_TRUE(rtc) << error;
    rtc_time t{};
    t.tm_year = 199;
    t.tm_mon = 11;
    t.tm_mday = 31;
    t.tm_hour = 23;
    t.tm_min = 59;
    t.tm_sec = 58;
    ASSERT_EQ(rtc->Ioctl(RTC_SET_TIME, &t), 0);
    rtc_time back{};
    ASSERT_EQ(rtc->Ioctl(RTC_RD_TIME, &back), 0);
    EXPECT_EQ(back.tm_year, 199);
    EXPECT_EQ(back.tm_mon, 11);
    EXPECT_EQ(back.tm_mday, 31);
    EXPECT_EQ(back.tm_hour * 3600 + back.tm_min * 60 + back.tm_sec, 23 * 3600 + 59 * 60 + 58);

    // Another opening (a restarted recorder) reads the same clock; the
    // driver's text shows it.
    auto again = board().OpenDevice(diviv::sim::kRtcDevicePath, O_RDONLY, &error);
    ASSERT_EQ(again->Ioctl(RTC_RD_TIME, &back), 0);
    EXPECT_EQ(back.tm_year, 199);
    char text[512] = {};
    ASSERT_GT(board().InputDevices().ReadDriverFile(diviv::sim::kRtcProcFile, text, sizeof text - 1), 0);
    const std::string proc(text);
    EXPECT_THAT(proc, testing::StartsWith("rtc_time\t: 23:59:5"));
    EXPECT_THAT(proc, HasSubstr("rtc_date\t: 2099-12-31\n"));
    EXPECT_THAT(proc, HasSubstr("24hr\t\t: yes\n"));
    EXPECT_EQ(Read(diviv::sim::kRtcSetLog), "2099-12-31 23:59:58\n");
}

TEST_F(SimRtcTest, RefusesTimesOutsideTheCalendarAsTheKernelDoes) {
    int error = 0;
    auto rtc = board().OpenDevice(diviv::sim::kRtcDevicePath, O_RDONLY, &error);
    ASSERT_TRUE(rtc);
    const rtc_time good{0, 0, 12, 29, 1, 124, 0, 0, 0};  // 2024-02-29
    rtc_time t = good;
    EXPECT_EQ(rtc->Ioctl(RTC_SET_TIME, &t), 0);
    const struct {
        const char* what;
        void (*spoil)(rtc_time*);
    } bad[] = {
        {"29 February 2023", [](rtc_time* x) { x->tm_year = 123; }},
        {"month 12", [](rtc_time* x) { x->tm_mon = 12; }},
        {"day 0", [](rtc_time* x) { x->tm_mday = 0; }},
        {"hour 24", [](rtc_time* x) { x->tm_hour = 24; }},
        {"second 60", [](rtc_time* x) { x->tm_sec = 60; }},
        {"1969", [](rtc_time* x) { x->tm_year = 69; }},
    };
    for (const auto& b : bad) {
        t = good;
        b.spoil(&t);
        EXPECT_EQ(rtc->Ioctl(RTC_SET_TIME, &t), -EINVAL) << b.what;
    }
    EXPECT_EQ(Read(diviv::sim::kRtcSetLog), "2024-02-29 12:00:00\n");
    EXPECT_EQ(rtc->Ioctl(0x1234, &t), -ENOTTY);
}

}  // namespace

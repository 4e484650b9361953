// Recording runs of the video capture thread on the simulated board: the
// camera model at "/dev/v4l/video0", the board's x264 encoder, and the
// pictures handed to the writer decoded by libavcodec, with the simulated
// camera's frame numbers read back from every picture.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <regex>
#include <thread>

#include "H264TestDecoder.h"
#include "RecordingTestKit.h"
#include "formats/H264Syntax.h"
#include "osd/font.h"
#include "osd/osd.h"
#include "platform/Board.h"
#include "recording/AsfMuxThread.h"
#include "recording/VideoCaptureEncoderThread.h"
#include "sim/FrameBand.h"
#include "sim/SimCamera.h"
#include "sim/SimulatedBoard.h"
#include "sim/World.h"

namespace diviv {
namespace {

using test::TakenPicture;
using namespace std::chrono_literals;

// The console and the pictures of one run.
struct RunResult {
    std::vector<TakenPicture> pictures;
    std::string console;
    bool ended_by_itself = false;  // the thread ended before the close request
};

class VideoCaptureTest : public RecordingTest {
protected:
    void SetUp() override {
        RecordingTest::SetUp();
        auto board = std::make_unique<sim::SimulatedBoard>();
        board->Devices().Register(sim::kCameraDevicePath,
                                  [this](const std::string& path, int flags, int* error) -> std::unique_ptr<Device> {
                                      if (open_error_ != 0) {
                                          *error = -open_error_;
                                          return nullptr;
                                      }
                                      auto dev = sim::MakeSimCamera(path, flags, error);
                                      if (dev && configure_camera_) configure_camera_(static_cast<sim::SimCamera&>(*dev));
                                      return dev;
                                  });
        previous_board_ = InstallBoard(std::move(board));

        codec_config_t* cfg = config_.get();
        cfg->width = 640;
        cfg->height = 480;
        cfg->mode = 2;
        cfg->fps = cfg->enc_fps = 30;
        cfg->bps = 2048;
        cfg->gop = 10;
        dr()->CAM_MODE = 1;
        dr()->VIN_MODE = 0;
        dr()->rec_osd = 0;
        Write("/proc/driver/camera/video_mode", "1:1\n");
    }
    void TearDown() override {
        InstallBoard(std::move(previous_board_));
        RecordingTest::TearDown();
    }

    // Runs the thread until `pictures` pictures were handed over (or it ends
    // by itself), calling `during` with the count as they come; then asks it
    // to close.
    RunResult Record(size_t pictures, const std::function<void(size_t)>& during = {}) {
        RunResult r;
        test::PictureTaker taker;
        // Emptied before each run, as before a recording.
        DR_FlushRingBuffer(&dr()->vbs_buf);
        DR_FlushRingBuffer(&dr()->vinfo_buf);
        testing::internal::CaptureStdout();
        dr()->VCE_ALIVE = 1;
        dr()->REQ_VCE_CLOSE = 0;
        std::thread vce(VideoCaptureEncoderThread, dr());
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        size_t seen = 0;
        while (r.pictures.size() < pictures && std::chrono::steady_clock::now() < deadline) {
            if (dr()->VCE_ALIVE.load() == 0) {
                r.ended_by_itself = true;
                break;
            }
            taker.Take(dr(), &r.pictures);
            if (during && r.pictures.size() != seen) during(r.pictures.size());
            seen = r.pictures.size();
            std::this_thread::sleep_for(2ms);
        }
        dr()->REQ_VCE_CLOSE = 1;
        vce.join();
        taker.Take(dr(), &r.pictures);
        r.console = testing::internal::GetCapturedStdout();
        return r;
    }

    int open_error_ = 0;  // errno the device open answers with (0: the camera)
    std::function<void(sim::SimCamera&)> configure_camera_;
    std::unique_ptr<Board> previous_board_;
};

bool Has(const std::string& console, const std::string& line) {
    return test::CountLines(console, line) > 0;
}

std::vector<int> NalTypes(const TakenPicture& p) {
    std::vector<int> t;
    for (auto nal : h264::SplitAnnexB(p.bytes)) t.push_back(h264::NalUnitType(nal));
    return t;
}

// Luma contrast a caption leaves: mean decoded luma under its white glyph
// strokes minus the mean under their dark outlines. Near 0 when the picture
// has no caption there (both sample the scene alike).
double CaptionContrast(const test::DecodedPicture& pic, int x, int y, const char* text) {
    std::vector<uint8_t> mask(static_cast<size_t>(pic.width) * pic.height * 3 / 2, 0);
    osd_session* s = osd_init(pic.width, pic.height, x, y);
    osd_install_font(s, font_init(FONT_13X17B));
    osd_update(s, mask.data(), text);
    osd_deinit(s);
    double white = 0, dark = 0;
    int nw = 0, nd = 0;
    for (size_t i = 0; i < static_cast<size_t>(pic.width) * pic.height; ++i) {
        if (mask[i] == 255) {
            white += pic.luma[i];
            ++nw;
        } else if (mask[i] == 1) {
            dark += pic.luma[i];
            ++nd;
        }
    }
    return (nw > 0 && nd > 0) ? white / nw - dark / nd : 0;
}

std::string DateCaption(dr_timeval t) {
    const time_t sec = t.tv_sec;
    tm local{};
    localtime_r(&sec, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y/%m/%d %H:%M:%S", &local);
    return text;
}

struct Decoded {
    test::H264TestDecoder decoder;
    std::vector<sim::FrameBandReading> bands;
};

void DecodeAll(const std::vector<TakenPicture>& pictures, Decoded* d) {
    ASSERT_TRUE(d->decoder.ok());
    for (const TakenPicture& p : pictures) d->decoder.Decode(p.bytes);
    d->decoder.Flush();
    for (const auto& pic : d->decoder.pictures()) {
        d->bands.push_back(sim::ReadFrameBand(pic.luma.data(), pic.width, pic.height, pic.width));
    }
}

TEST_F(VideoCaptureTest, ARecordingDecodesCleanlyWithItsFrameNumbersInOrderAndCaptions) {
    const RunResult run = Record(45);
    const std::string& c = run.console;
    ASSERT_GE(run.pictures.size(), 45u) << c;
    EXPECT_FALSE(run.ended_by_itself);

    // Start-up and shutdown as the console shows them.
    EXPECT_TRUE(std::regex_search(c, std::regex(R"(VEC : Video Capture Encoder Thread Start \[ppid=\d+ tid=\d+\] ###)")));
    EXPECT_TRUE(Has(c, "VCE : Requested Buffer Num = 6")) << c;
    EXPECT_TRUE(Has(c, "VCE : Set Overlay 1"));
    EXPECT_TRUE(Has(c, "VCE : VIDIOC_OVERLAY start OK [ret=0]"));
    EXPECT_TRUE(Has(c, "VCE : ce_mxc_v4l_overlay_set() done"));
    EXPECT_FALSE(Has(c, "VCE : Setup overlay failed."));
    EXPECT_TRUE(Has(c, "VCE : EncOp : size= 640x480 30[fps]  2048[kbps]"));
    EXPECT_TRUE(Has(c, "VCE : start_capturing()"));
    EXPECT_TRUE(std::regex_search(c, std::regex(R"(VCE : Start Video Encoding \[vbs:\d+\])")));
    EXPECT_TRUE(std::regex_search(c, std::regex(R"(VCE : Video Capture Start \[\d{10}\.\d{3}\])")));
    EXPECT_EQ(test::CountLines(c, "VCE : Set EncodeStart=1"), 1);
    for (const char* line : {"VCE : vpu_EncClose()", "VCE : FrameBufferFree() IOFree()", "VCE : OSD DEINIT DONE ! ",
                             "VCE : Stop Capturing", "VCE : VIDIOC_OVERLAY stop OK [ret=0]"}) {
        EXPECT_EQ(test::CountLines(c, line), 1) << line;
    }
    std::smatch end;
    ASSERT_TRUE(std::regex_search(
        c, end, std::regex(R"(VCE : Video Capture Encoder Thread End \[Capture (\d+) frames : Encode (\d+) frames\])")));
    EXPECT_EQ(std::stoul(end[2]), run.pictures.size());
    EXPECT_GE(std::stoul(end[1]), run.pictures.size());
    EXPECT_EQ(c.find("VCE : Video Capture Encoder Thread End"), c.rfind("VCE : ")) << "the end line is the last";
    EXPECT_FALSE(Has(c, "VCE : Detect Power Down -> Set V_OFF"));

    // The shared flags.
    EXPECT_EQ(dr()->VCE_ALIVE.load(), 0);
    EXPECT_EQ(dr()->CaptureStart.load(), 1);
    EXPECT_EQ(dr()->EncodeStart.load(), 1);
    EXPECT_EQ(dr()->EncodeStartReady.load(), 1);
    EXPECT_EQ(dr()->HW_Error.load(), 0);
    EXPECT_EQ(dr()->RecStartTime.tv_sec, run.pictures[0].info.CaptureTime.tv_sec);
    EXPECT_EQ(dr()->RecStartTime.tv_usec, run.pictures[0].info.CaptureTime.tv_usec);
    EXPECT_EQ(dr()->enc_info.handle, nullptr);

    // Records: headers twice before the first picture, once per group.
    const auto& p = run.pictures;
    EXPECT_EQ(p[0].info.FrameTime, 0u);
    EXPECT_EQ(NalTypes(p[0]), (std::vector<int>{7, 8, 7, 8, 5}));
    for (size_t k = 1; k < p.size(); ++k) {
        const bool group_start = k % 10 == 0;
        EXPECT_EQ(p[k].info.KeyFrame, group_start ? 1u : 0u) << k;
        EXPECT_EQ(NalTypes(p[k]), group_start ? (std::vector<int>{7, 8, 5}) : (std::vector<int>{1})) << k;
        EXPECT_EQ(p[k].info.DataLength, p[k].bytes.size());
        EXPECT_GT(p[k].info.FrameTime, p[k - 1].info.FrameTime) << k;
    }

    // libavcodec decodes every picture without complaint; the camera's own
    // frame numbers come back in order and match the 30 Hz numbers.
    Decoded d;
    DecodeAll(p, &d);
    EXPECT_EQ(d.decoder.errors(), 0) << d.decoder.error_text();
    ASSERT_EQ(d.decoder.pictures().size(), p.size());
    ASSERT_TRUE(d.bands[0].ok);
    const uint32_t seq0 = d.bands[0].sequence;
    for (size_t k = 0; k < p.size(); ++k) {
        ASSERT_TRUE(d.bands[k].ok) << k;
        if (k > 0) {
            EXPECT_GT(d.bands[k].sequence, d.bands[k - 1].sequence) << k;
        }
        const uint32_t frames = d.bands[k].sequence - seq0;
        EXPECT_TRUE(p[k].info.FrameTime == frames || p[k].info.FrameTime == frames + 1)
            << "picture " << k << ": FrameTime " << p[k].info.FrameTime << ", camera frame " << frames;
    }

    // Captions: the date and time of the frame and the camera number.
    for (size_t k = 0; k < p.size(); k += 11) {
        const auto& pic = d.decoder.pictures()[k];
        EXPECT_GT(CaptionContrast(pic, 360, 10, DateCaption(p[k].info.CaptureTime).c_str()), 80) << k;
        EXPECT_GT(CaptionContrast(pic, 15, 10, "1"), 80) << k;
    }
}

TEST_F(VideoCaptureTest, AQuadPictureIsLabelledAndNoCaptionsAreStampedWhenSwitchedOff) {
    Write("/proc/driver/camera/video_mode", "4:0\n");
    dr()->CAM_MODE = 0;
    RunResult run = Record(4);
    ASSERT_GE(run.pictures.size(), 4u) << run.console;
    {
        Decoded d;
        DecodeAll(run.pictures, &d);
        ASSERT_EQ(d.decoder.pictures().size(), run.pictures.size());
        const auto& pic = d.decoder.pictures()[3];
        EXPECT_GT(CaptionContrast(pic, 300, 220, "1 2"), 80);
        EXPECT_GT(CaptionContrast(pic, 300, 250, "3 4"), 80);
        EXPECT_GT(CaptionContrast(pic, 360, 10, DateCaption(run.pictures[3].info.CaptureTime).c_str()), 80);
    }

    dr()->rec_osd = 1;
    run = Record(4);
    ASSERT_GE(run.pictures.size(), 4u);
    Decoded d;
    DecodeAll(run.pictures, &d);
    ASSERT_EQ(d.decoder.pictures().size(), run.pictures.size());
    for (size_t k = 0; k < run.pictures.size(); ++k) {
        const auto& pic = d.decoder.pictures()[k];
        EXPECT_LT(std::abs(CaptionContrast(pic, 300, 220, "1 2")), 40) << k;
        EXPECT_LT(std::abs(CaptionContrast(pic, 360, 10, DateCaption(run.pictures[k].info.CaptureTime).c_str())), 40);
    }
}

TEST_F(VideoCaptureTest, DroppedFramesAndAStampFromThePastKeepTheNumbersRising) {
    sim::WorldWriter world(Path(sim::kWorldFile));
    const RunResult run = Record(40, [&](size_t n) {
        if (n == 10) world.CameraDrop(6);
        if (n == 25) world.CameraTimeJump(-400);
    });
    ASSERT_GE(run.pictures.size(), 40u) << run.console;
    EXPECT_GE(test::CountLines(run.console, "VCE : WARNING :: Illegal Frame Order : The captured frame is past time !"), 1)
        << run.console;
    Decoded d;
    DecodeAll(run.pictures, &d);
    EXPECT_EQ(d.decoder.errors(), 0) << d.decoder.error_text();
    ASSERT_EQ(d.bands.size(), run.pictures.size());
    bool gap = false;
    for (size_t k = 1; k < run.pictures.size(); ++k) {
        EXPECT_GT(run.pictures[k].info.FrameTime, run.pictures[k - 1].info.FrameTime) << k;
        ASSERT_TRUE(d.bands[k].ok);
        EXPECT_GT(d.bands[k].sequence, d.bands[k - 1].sequence);
        if (d.bands[k].sequence - d.bands[k - 1].sequence >= 7) {
            gap = true;
            // The lost time shows in the numbers: the writer leaves the gap.
            EXPECT_GE(run.pictures[k].info.FrameTime - run.pictures[k - 1].info.FrameTime, 6u);
        }
    }
    EXPECT_TRUE(gap) << "the six dropped frames left no gap";
}

TEST_F(VideoCaptureTest, AtFifteenPicturesPerSecondEveryOtherFrameIsEncoded) {
    config_->enc_fps = 15;
    const RunResult run = Record(30);
    ASSERT_GE(run.pictures.size(), 30u);
    std::smatch end;
    ASSERT_TRUE(std::regex_search(
        run.console, end,
        std::regex(R"(VCE : Video Capture Encoder Thread End \[Capture (\d+) frames : Encode (\d+) frames\])")));
    const double captured = std::stod(end[1]), encoded = std::stod(end[2]);
    EXPECT_NEAR(captured / encoded, 2.0, 0.25) << run.console;
    const double span = run.pictures.back().info.FrameTime - run.pictures.front().info.FrameTime;
    EXPECT_NEAR(span / static_cast<double>(run.pictures.size() - 1), 2.0, 0.25);
    EXPECT_GE(test::CountLines(run.console, "VCE : Set EncodeStart=1"), 1);
}

TEST_F(VideoCaptureTest, PowerDownDuringRecordingSwitchesTheVideoPowerOffOnce) {
    const RunResult run = Record(1000, [&](size_t n) {
        if (n == 10) dr()->PWR_DET_State = 0;
    });
    EXPECT_TRUE(run.ended_by_itself) << "the thread leaves its loop on power-down";
    EXPECT_EQ(test::CountLines(run.console, "VCE : Detect Power Down -> Set V_OFF"), 1) << run.console;
    EXPECT_EQ(test::CountLines(Read(std::string(sim::kPowerCommandLog)), "3"), 1);
    EXPECT_TRUE(Has(run.console, "VCE : vpu_EncClose()"));
    EXPECT_EQ(dr()->VCE_ALIVE.load(), 0);
}

TEST_F(VideoCaptureTest, DequeueFailuresAreReportedAndCaptureGoesOn) {
    configure_camera_ = [](sim::SimCamera& cam) {
        cam.InjectFault({sim::FaultOp::kIoctl, VIDIOC_DQBUF, EIO, 0, 3});
        cam.InjectFault({sim::FaultOp::kIoctl, VIDIOC_DQBUF, EBUSY, 0, 1});
        // A camera with no frame ready yet (a fast encoder sees it on its own).
        cam.InjectFault({sim::FaultOp::kIoctl, VIDIOC_DQBUF, EAGAIN, 0, 1});
    };
    const RunResult run = Record(12);
    EXPECT_GE(run.pictures.size(), 12u);
    EXPECT_EQ(test::CountLines(run.console, "VCE : VIDIOC_DQBUF returns EIO"), 3) << run.console;
    EXPECT_EQ(test::CountLines(run.console, "VCE : VIDIOC_DQBUF returns [errno=16]"), 1);
    EXPECT_GE(test::CountLines(run.console, "VCE : VIDIOC_DQBUF returns EAGAIN"), 1);
    Decoded d;
    DecodeAll(run.pictures, &d);
    EXPECT_EQ(d.decoder.errors(), 0);
}

// Splits an Annex B stream into access units (parameter sets with the
// picture that follows them), each NAL unit with a 4-byte start code.
std::vector<std::vector<uint8_t>> AccessUnits(std::span<const uint8_t> stream) {
    std::vector<std::vector<uint8_t>> units(1);
    for (auto nal : h264::SplitAnnexB(stream)) {
        units.back().insert(units.back().end(), {0, 0, 0, 1});
        units.back().insert(units.back().end(), nal.begin(), nal.end());
        const int type = h264::NalUnitType(nal);
        if (type == h264::kNalSlice || type == h264::kNalIdr) units.emplace_back();
    }
    units.pop_back();
    return units;
}

TEST_F(VideoCaptureTest, TheWritersStandInEmptiesTheBuffersAndKeepsAPlayableStream) {
    const std::string dump = root_ + "/video.h264";
    ::setenv("DIVIV_DUMP_VIDEO", dump.c_str(), 1);
    testing::internal::CaptureStdout();
    dr()->VCE_ALIVE = 1;
    dr()->AM_ALIVE = 1;
    std::thread writer(AsfMuxThread, dr());
    std::thread vce(VideoCaptureEncoderThread, dr());
    // Some 25 pictures: far less than the buffers hold, so a stand-in that
    // did not take them would leave them there.
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    auto pictures_in_file = [&] {
        const std::string b = Read("/video.h264");
        return AccessUnits(std::span(reinterpret_cast<const uint8_t*>(b.data()), b.size())).size();
    };
    while (std::chrono::steady_clock::now() < deadline && pictures_in_file() < 25) {
        std::this_thread::sleep_for(20ms);
    }
    dr()->REQ_VCE_CLOSE = 1;
    vce.join();
    dr()->REQ_AM_CLOSE = 1;
    writer.join();
    ::unsetenv("DIVIV_DUMP_VIDEO");
    const std::string console = testing::internal::GetCapturedStdout();

    EXPECT_EQ(DR_GetRingBufferReadAvailable(&dr()->vinfo_buf), 0);
    EXPECT_EQ(DR_GetRingBufferReadAvailable(&dr()->vbs_buf), 0);
    std::smatch end;
    ASSERT_TRUE(std::regex_search(
        console, end, std::regex(R"(VCE : Video Capture Encoder Thread End \[Capture \d+ frames : Encode (\d+) frames\])")));
    const size_t encoded = std::stoul(end[1]);
    EXPECT_GE(encoded, 20u);

    const std::string bytes = Read("/video.h264");
    const auto units = AccessUnits(std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
    test::H264TestDecoder dec;
    for (const auto& u : units) dec.Decode(u);
    dec.Flush();
    EXPECT_EQ(dec.errors(), 0) << dec.error_text();
    ASSERT_EQ(dec.pictures().size(), encoded);
    uint32_t last = 0;
    for (size_t k = 0; k < dec.pictures().size(); ++k) {
        const auto& pic = dec.pictures()[k];
        const sim::FrameBandReading band = sim::ReadFrameBand(pic.luma.data(), pic.width, pic.height, pic.width);
        ASSERT_TRUE(band.ok) << k;
        if (k > 0) {
            EXPECT_GT(band.sequence, last) << k;
        }
        last = band.sequence;
    }
}

struct OpenFailure {
    int error;
    const char* line;
};

class CameraOpenTest : public VideoCaptureTest, public ::testing::WithParamInterface<OpenFailure> {};

TEST_P(CameraOpenTest, ACameraThatCannotBeOpenedEndsTheThreadWithAHardwareError) {
    open_error_ = GetParam().error;
    const RunResult run = Record(1);
    EXPECT_TRUE(run.ended_by_itself);
    EXPECT_TRUE(run.pictures.empty());
    EXPECT_TRUE(Has(run.console, GetParam().line)) << run.console;
    EXPECT_EQ(dr()->HW_Error.load(), 1);
    EXPECT_EQ(dr()->VCE_ALIVE.load(), 0);
    EXPECT_EQ(dr()->CaptureStart.load(), 0);
    EXPECT_FALSE(Has(run.console, "VCE : vpu_EncClose()")) << "no encoder was opened";
    EXPECT_TRUE(Has(run.console, "VCE : Video Capture Encoder Thread End [Capture 0 frames : Encode 0 frames]"));
    const auto log = test::LogCalls(root_);
    ASSERT_FALSE(log.empty());
    EXPECT_NE(log.back().find("Failure of opening the device."), std::string::npos) << log.back();
}

INSTANTIATE_TEST_SUITE_P(
    Errors, CameraOpenTest,
    ::testing::Values(OpenFailure{ENOENT, "VCE : Cannot identify /dev/v4l/video0 : 2, No such file or directory"},
                      OpenFailure{ENODEV, "VCE : /dev/v4l/video0 is no device"},
                      OpenFailure{EACCES, "VCE : Cannot open /dev/v4l/video0 : 13, Permission denied"}),
    [](const auto& info) {
        switch (info.param.error) {
            case ENOENT: return std::string("Missing");
            case ENODEV: return std::string("NoDevice");
            default: return std::string("NotPermitted");
        }
    });

TEST_F(VideoCaptureTest, TooFewCaptureBuffersEndTheThread) {
    configure_camera_ = [](sim::SimCamera& cam) { cam.SetMaxBuffers(1); };
    const RunResult run = Record(1);
    EXPECT_TRUE(run.ended_by_itself);
    EXPECT_TRUE(Has(run.console, "VCE : Insufficient buffer memory on /dev/v4l/video0")) << run.console;
    EXPECT_FALSE(Has(run.console, "VCE : Requested Buffer Num = 1"));
    EXPECT_FALSE(Has(run.console, "VCE : start_capturing()"));
    EXPECT_TRUE(Has(run.console, "VCE : Stop Capturing"));
    const auto log = test::LogCalls(root_);
    ASSERT_FALSE(log.empty());
    EXPECT_NE(log.back().find("Failure of Caputuring."), std::string::npos) << log.back();
}

}  // namespace
}  // namespace diviv

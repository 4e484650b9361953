// The live monitor on the simulated board: the camera's pictures reach the
// display's video plane with the monitor captions stamped in (compared with
// the camera's own scene for the frame number read back from each shown
// picture), the quadrant labels only in four-camera mode, nothing with the
// captions off, a flip change followed within a second; and the display
// set-up shared with playback (framebuffer search, key-coloured window,
// output device requests).
#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include "core/DR_shared.h"
#include "core/dr_ringbuffer.h"
#include "core/WorkerHandshake.h"
#include "platform/Board.h"
#include "platform/MxcDisplay.h"
#include "playback/DisplayOutput.h"
#include "playback/MonitorThread.h"
#include "playback/VideoDispThread.h"
#include "sim/CameraScene.h"
#include "sim/DeviceModel.h"
#include "sim/FrameBand.h"
#include "sim/SimDisplay.h"
#include "sim/SimulatedBoard.h"
#include "sim/SimBoard.h"
#include "sim/World.h"
#include "support/SimBoardFixture.h"

namespace {

using namespace std::chrono_literals;
using diviv::sim::PlanePicture;

constexpr int kW = 640, kH = 480;

// Caption boxes of a 640-wide monitor picture (x, y of the caption, a box
// generous enough for its text; a caption's top row lies above its y).
struct Box {
    int x0, y0, x1, y1;
    bool Contains(int x, int y) const { return x >= x0 && x < x1 && y >= y0 && y < y1; }
};
constexpr Box kHeading{470, 0, 640, 40};
constexpr Box kTime{350, 430, 640, 480};
constexpr Box kQuadUpper{290, 200, 340, 236};
constexpr Box kQuadLower{290, 236, 340, 266};
constexpr Box kGps{0, 430, 60, 480};

class MonitorTest : public SimBoardTest {
protected:
    void SetUp() override {
        SimBoardTest::SetUp();
        ::unsetenv("WDT_ENABLE");
        record_ = NewDrCommon();
        config_ = NewCodecConfig();
        record_->pCodecCfg = config_.get();
        ASSERT_EQ(CreateSharedRingBuffers(record_.get()), 0);
        config_->width = kW;
        config_->height = kH;
        config_->fps = 30;
        dr()->CAM_MODE = 0;
        dr()->InputVideoNum = 4;
        dr()->AppState = STATE_IDLE;
        Write("/proc/driver/camera/video_mode", "4:0\n");
        board().Devices().Register(diviv::kVideoOutputDevice, [plane = plane_](const std::string& path, int flags,
                                                                                int* error) {
            return diviv::sim::MakeSimVideoOutput(plane, path, flags, error);
        });
    }
    void TearDown() override {
        Stop();
        FreeSharedRingBuffers(record_.get());
        SimBoardTest::TearDown();
    }

    dr_common_t* dr() { return record_.get(); }

    void Start() {
        testing::internal::CaptureStdout();
        capturing_ = true;
        diviv::StartWorker(dr(), dr()->MON_ALIVE, dr()->REQ_MON_CLOSE, MonitorThread);
        diviv::StartWorker(dr(), dr()->DISP_ALIVE, dr()->REQ_DISP_CLOSE, VideoDispThread);
    }
    // Closes both threads as the codec manager does; returns the console.
    std::string Stop() {
        dr()->REQ_DISP_CLOSE = 1;
        dr()->REQ_MON_CLOSE = 1;
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while ((dr()->MON_ALIVE.load() || dr()->DISP_ALIVE.load()) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(5ms);
        EXPECT_EQ(dr()->MON_ALIVE.load(), 0);
        EXPECT_EQ(dr()->DISP_ALIVE.load(), 0);
        if (!capturing_) return console_;
        capturing_ = false;
        console_ = testing::internal::GetCapturedStdout();
        if (HasFailure()) std::fputs(console_.c_str(), stdout);  // the failures' own messages were captured too
        return console_;
    }

    // Waits until at least n pictures were shown.
    bool WaitShown(size_t n, std::chrono::milliseconds limit = 5s) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (plane_->Shown().size() < n) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(5ms);
        }
        return true;
    }

    // What the camera drew for frame `seq` (camera 0: the four quadrants),
    // turned as the camera turns it.
    static std::vector<uint8_t> CameraPicture(uint32_t seq, int camera, bool vflip, int w = kW, int h = kH) {
        std::vector<uint8_t> pic(w * h * 3 / 2);
        diviv::sim::CameraScene scene;
        const auto planes = diviv::sim::I420Planes(pic.data(), w, h);
        scene.Draw(planes, camera, seq);
        diviv::sim::FlipPicture(planes, vflip, false);
        return pic;
    }

    // Luma pixels of the shown picture that differ from the camera's, inside
    // and outside the given boxes (the band rows left out).
    struct Differences {
        std::vector<int> in_box;
        int elsewhere = 0;
    };
    static Differences Compare(const PlanePicture& shown, const std::vector<uint8_t>& camera,
                               const std::vector<Box>& boxes) {
        Differences d;
        d.in_box.assign(boxes.size(), 0);
        const int w = shown.width, band_top = shown.height - diviv::sim::kBandRows;
        for (int y = 0; y < band_top; ++y) {
            for (int x = 0; x < w; ++x) {
                if (shown.i420[y * w + x] == camera[y * w + x]) continue;
                bool boxed = false;
                for (size_t i = 0; i < boxes.size(); ++i) {
                    if (boxes[i].Contains(x, y)) {
                        ++d.in_box[i];
                        boxed = true;
                    }
                }
                if (!boxed) ++d.elsewhere;
            }
        }
        return d;
    }

    // The last shown picture with its frame number.
    PlanePicture Shown(uint32_t* seq) {
        PlanePicture p = plane_->Last();
        EXPECT_TRUE(p.showing);
        EXPECT_EQ(p.width, static_cast<int>(config_->width));
        const auto band = diviv::sim::ReadFrameBand(p.i420.data(), p.width, p.height, p.width);
        EXPECT_TRUE(band.ok);
        *seq = band.sequence;
        return p;
    }

    std::shared_ptr<diviv::sim::SimVideoPlane> plane_ = std::make_shared<diviv::sim::SimVideoPlane>();
    std::unique_ptr<dr_common_t> record_;
    std::unique_ptr<codec_config_t> config_;
    bool capturing_ = false;
    std::string console_;
};

TEST_F(MonitorTest, FourCameraModeShowsTheCameraWithHeadingTimeAndQuadrantLabels) {
    Start();
    ASSERT_TRUE(WaitShown(10));
    uint32_t seq = 0;
    const PlanePicture shown = Shown(&seq);
    EXPECT_EQ(shown.window.left, 0);
    EXPECT_EQ(shown.window.width, static_cast<uint32_t>(kW));
    const Differences d = Compare(shown, CameraPicture(seq, 0, false), {kHeading, kTime, kQuadUpper, kQuadLower, kGps});
    EXPECT_GT(d.in_box[0], 50) << "heading";
    EXPECT_GT(d.in_box[1], 50) << "time";
    EXPECT_GT(d.in_box[2], 20) << "1 2";
    EXPECT_GT(d.in_box[3], 20) << "3 4";
    EXPECT_EQ(d.in_box[4], 0) << "no GPS mark without a valid fix";
    EXPECT_EQ(d.elsewhere, 0) << "the camera's picture untouched outside the captions";

    // Shown in capture order, none twice.
    const auto log = plane_->Shown();
    for (size_t i = 1; i < log.size(); ++i) EXPECT_GT(log[i].frame, log[i - 1].frame) << i;

    // The graphics plane is keyed open over the window.
    int err = 0;
    auto fb = diviv::TheBoard().OpenDevice("/dev/fb0", O_RDWR, &err);
    ASSERT_TRUE(fb);
    auto mem = fb->Map(1280 * 480, 0, &err);
    ASSERT_TRUE(mem);
    EXPECT_EQ(static_cast<const uint16_t*>(mem.data())[240 * 640 + 320], 0x0841);

    const std::string console = Stop();
    EXPECT_NE(console.find("MON : W=640 H=480 Size=460800 FRATE=30\n"), std::string::npos) << console;
    EXPECT_NE(console.find("MON : Flip=OFF Mirror=OFF\n"), std::string::npos);
    EXPECT_NE(console.find("DISP : Display Image 640 x 480 [DispSize=0]\n"), std::string::npos);
    EXPECT_NE(console.find("DISP : Start Display\n"), std::string::npos);
    EXPECT_NE(console.find("MON : Monitor Thread End \n"), std::string::npos);
    EXPECT_NE(console.find("DISP : Close VideoDispThread \n"), std::string::npos);
    EXPECT_EQ(dr()->REQ_CLOSE.load(), 1) << "the display's end ends the mode";
    PlanePicture after = plane_->Last();
    EXPECT_FALSE(after.showing) << "streaming off blanks the plane";
}

TEST_F(MonitorTest, ASmallPictureIsCentredWithItsOwnCaptionPlaces) {
    config_->width = 352;
    config_->height = 288;
    Start();
    ASSERT_TRUE(WaitShown(5));
    uint32_t seq = 0;
    const PlanePicture shown = Shown(&seq);
    EXPECT_EQ(std::vector<int>({shown.window.left, shown.window.top, static_cast<int>(shown.window.width),
                                static_cast<int>(shown.window.height)}),
              std::vector<int>({144, 96, 352, 288}));
    const Differences d = Compare(shown, CameraPicture(seq, 0, false, 352, 288),
                                  {{10, 0, 220, 30}, {80, 250, 352, 272}, {30, 240, 80, 266}});
    EXPECT_GT(d.in_box[0], 50) << "heading";
    EXPECT_GT(d.in_box[1], 50) << "time";
    EXPECT_GT(d.in_box[2], 10) << "quadrant labels";
    EXPECT_EQ(d.elsewhere, 0);
    EXPECT_NE(Stop().find("DISP : Display Image 352 x 288 [DispSize=0]\n"), std::string::npos);
}

TEST_F(MonitorTest, OneCameraHasNoQuadrantLabelsAndCaptionsOffDrawNothing) {
    dr()->CAM_MODE = 2;
    dr()->GPSReceiveDataValid = 1;
    Write("/proc/driver/camera/video_mode", "1:2\n");
    Start();
    ASSERT_TRUE(WaitShown(5));
    uint32_t seq = 0;
    PlanePicture shown = Shown(&seq);
    Differences d = Compare(shown, CameraPicture(seq, 2, false), {kHeading, kTime, kQuadUpper, kQuadLower, kGps});
    EXPECT_GT(d.in_box[0], 50) << "heading";
    EXPECT_EQ(d.in_box[2] + d.in_box[3], 0) << "no quadrant labels";
    EXPECT_GT(d.in_box[4], 10) << "GPS mark";
    EXPECT_EQ(d.elsewhere, 0);

    // Captions off: the camera's picture exactly, not even the GPS mark.
    std::atomic_ref<int32_t>(dr()->mon_osd).store(1, std::memory_order_relaxed);  // read for each picture
    const size_t before = plane_->Shown().size();
    ASSERT_TRUE(WaitShown(before + 5));
    shown = Shown(&seq);
    d = Compare(shown, CameraPicture(seq, 2, false), {});
    EXPECT_EQ(d.elsewhere, 0);
    Stop();
}

TEST_F(MonitorTest, AFlipChangeIsFollowedWithinASecond) {
    Start();
    ASSERT_TRUE(WaitShown(3));
    uint32_t seq = 0;
    const std::vector<Box> captions = {kHeading, kTime, kQuadUpper, kQuadLower, kGps};
    PlanePicture shown = Shown(&seq);
    ASSERT_EQ(Compare(shown, CameraPicture(seq, 0, false), captions).elsewhere, 0);

    std::atomic_ref<int32_t>(config_->flipmode).store(1, std::memory_order_relaxed);
    const auto changed = std::chrono::steady_clock::now();
    bool flipped = false;
    while (!flipped && std::chrono::steady_clock::now() - changed < 5s) {
        std::this_thread::sleep_for(10ms);
        shown = Shown(&seq);
        flipped = Compare(shown, CameraPicture(seq, 0, true), captions).elsewhere == 0;
    }
    ASSERT_TRUE(flipped);
    EXPECT_LT(std::chrono::steady_clock::now() - changed, 1s);
    Stop();
}

TEST_F(MonitorTest, ADisplayThatCannotBeSetUpIsSkippedWhileTheCaptureGoesOn) {
    board().Devices().Register(diviv::kVideoOutputDevice, [](const std::string&, int, int* error) {
        *error = -ENODEV;
        return std::unique_ptr<diviv::Device>();
    });
    Start();
    // The capture fills dv_buf and then drops pictures; the display thread
    // only waits for its close.
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (DR_GetRingBufferWriteAvailable(&dr()->dv_buf) >= kW * kH * 3 / 2 &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(dr()->CaptureStart.load(), 1);
    EXPECT_EQ(dr()->DISP_ALIVE.load(), 1);
    // The next picture finds no room: dropped with a log entry.
    while (Read(diviv::sim::kLogRecordFile).find("Failure of writing to buffer.") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    const std::string console = Stop();
    EXPECT_NE(console.find("Unable to open /dev/v4l/video16\n"), std::string::npos) << console;
    EXPECT_EQ(console.find("DISP : Start Display"), std::string::npos);
    EXPECT_NE(console.find("DISP : Get Close Request ###\n"), std::string::npos);
    EXPECT_TRUE(plane_->Shown().empty());
    const std::string log = Read(diviv::sim::kLogRecordFile);
    EXPECT_NE(log.find("Failure of opening the device."), std::string::npos) << log;
    EXPECT_NE(log.find("Failure of writing to buffer."), std::string::npos) << "a full dv_buf drops pictures";
}

using MonitorDeathTest = MonitorTest;

TEST_F(MonitorDeathTest, ACameraSilentForTwoSecondsEndsTheProgram) {
    UseThreadsafeDeathTests();
    ASSERT_TRUE(diviv::sim::WorldWriter(Path(diviv::sim::kWorldFile)).CameraStall(4000));
    EXPECT_EXIT(
        {
            ::dup2(2, 1);  // the console line where the death test reads
            std::setvbuf(stdout, nullptr, _IONBF, 0);
            dr()->MON_ALIVE = 1;
            MonitorThread(dr());
        },
        testing::ExitedWithCode(1), "MON : select timeout");
}

// The display set-up, as playback uses it too.
class DisplaySetupTest : public SimBoardTest {};

TEST_F(DisplaySetupTest, GeometryForPlayPreviewAndSmallPictures) {
    using diviv::display::GeometryFor;
    const auto play = GeometryFor(640, 480, 0);
    EXPECT_EQ(std::vector<int>({play.display_left, play.display_top, play.display_width, play.display_height, play.video_size}),
              std::vector<int>({0, 0, 640, 480, 0}));
    const auto small = GeometryFor(352, 288, 0);
    EXPECT_EQ(std::vector<int>({small.display_left, small.display_top, small.display_width, small.display_height,
                                small.video_size}),
              std::vector<int>({144, 96, 352, 288, 1}));
    const auto preview = GeometryFor(352, 288, 1);
    EXPECT_EQ(std::vector<int>({preview.display_left, preview.display_top, preview.display_width,
                                preview.display_height}),
              std::vector<int>({0, 0, 320, 240}));
    const timeval t = diviv::display::AddMicroseconds({10, 990000}, 33000);
    EXPECT_EQ(t.tv_sec, 11);
    EXPECT_EQ(t.tv_usec, 23000);
}

TEST_F(DisplaySetupTest, FramebufferIsFoundByOutputAndKeyedOpenOverTheWindow) {
    using diviv::display::DisplayUser;
    testing::internal::CaptureStdout();
    diviv::display::DisplayGeometry g = diviv::display::GeometryFor(352, 288, 0);
    g.output = 3;  // "DISP3 FG", the fourth plane
    diviv::display::Framebuffer fb(DisplayUser::kPlayback);
    ASSERT_EQ(fb.Setup(&g), 0);
    const std::string console = testing::internal::GetCapturedStdout();
    EXPECT_NE(console.find("PM : device=/dev/fb0 id=DISP0 BG\n"), std::string::npos) << console;
    EXPECT_NE(console.find("PM : device=/dev/fb2 id=DISP3 BG\n"), std::string::npos) << console;
    EXPECT_EQ(console.find("/dev/fb3"), std::string::npos) << "taken, not passed over";
    const auto* px = static_cast<const uint16_t*>(fb.address());
    ASSERT_NE(px, nullptr);
    EXPECT_EQ(px[96 * 640 + 144], 0x0841);
    EXPECT_EQ(px[(96 + 287) * 640 + 144 + 351], 0x0841);
    EXPECT_EQ(px[95 * 640 + 144], 0) << "above the window";
    EXPECT_EQ(px[96 * 640 + 143], 0) << "left of the window";
    fb.Close();

    // A window beyond the screen is clipped to it; no plane for output 7.
    g = diviv::display::GeometryFor(640, 480, 0);
    g.display_left = 600;
    g.output = 0;
    ASSERT_EQ(fb.Setup(&g), 0);
    EXPECT_EQ(g.display_width, 40);
    fb.Close();
    g.output = 7;
    testing::internal::CaptureStdout();
    EXPECT_EQ(fb.Setup(&g), -1);
    testing::internal::GetCapturedStdout();
}

TEST_F(DisplaySetupTest, OutputDeviceFailuresArePrintedAndRefused) {
    using diviv::display::DisplayUser;
    diviv::display::DisplayGeometry g = diviv::display::GeometryFor(640, 480, 0);
    diviv::display::VideoOutput out(DisplayUser::kPlayback);
    ASSERT_EQ(out.Open(), 0);
    g.rotate = 9;  // the driver knows rotations 0..7
    testing::internal::CaptureStdout();
    EXPECT_EQ(out.Configure(g), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "set ctrl failed\n");
    g.rotate = 0;
    ASSERT_EQ(out.Configure(g), 0);
    v4l2_format fmt = diviv::display::VideoOutput::FormatFor(g);
    ASSERT_EQ(out.SetupFormat(&fmt), 0);
    EXPECT_EQ(out.num_buffers(), 4);
    EXPECT_EQ(out.frame_size(), 640u * 480 * 3 / 2);
    ASSERT_EQ(out.MapBuffers(), 0);
    // The first pictures take the buffers in order.
    for (int i = 0; i < 4; ++i) EXPECT_EQ(out.TakeBuffer(), i);
    out.Close();

    board().Devices().Register(diviv::kVideoOutputDevice, [](const std::string&, int, int* error) {
        *error = -ENOENT;
        return std::unique_ptr<diviv::Device>();
    });
    testing::internal::CaptureStdout();
    EXPECT_EQ(out.Open(), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Unable to open /dev/v4l/video16\n");
}

TEST_F(DisplaySetupTest, BufferFailuresArePrintedInTheirThreadsWords) {
    using diviv::display::DisplayUser;
    std::shared_ptr<diviv::sim::SimVideoPlane> plane = std::make_shared<diviv::sim::SimVideoPlane>();
    diviv::sim::DeviceModel* model = nullptr;
    board().Devices().Register(diviv::kVideoOutputDevice, [&](const std::string& path, int flags, int* error) {
        auto dev = diviv::sim::MakeSimVideoOutput(plane, path, flags, error);
        model = static_cast<diviv::sim::DeviceModel*>(dev.get());
        return dev;
    });
    for (DisplayUser user : {DisplayUser::kPlayback, DisplayUser::kMonitor}) {
        diviv::display::DisplayGeometry g = diviv::display::GeometryFor(640, 480, 0);
        diviv::display::VideoOutput out(user);
        ASSERT_EQ(out.Open(), 0);
        ASSERT_EQ(out.Configure(g), 0);
        v4l2_format fmt = diviv::display::VideoOutput::FormatFor(g);
        ASSERT_EQ(out.SetupFormat(&fmt), 0);
        ASSERT_EQ(out.MapBuffers(), 0);
        timeval now{};
        gettimeofday(&now, nullptr);
        for (int i = 0; i < 4; ++i) ASSERT_EQ(out.Queue(out.TakeBuffer(), now), 0);
        model->InjectFault({diviv::sim::FaultOp::kIoctl, VIDIOC_DQBUF, EIO});
        testing::internal::CaptureStdout();
        EXPECT_EQ(out.TakeBuffer(), -1);
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  user == DisplayUser::kPlayback ? "VIDIOC_DQBUF failed\n" : "DISP : VIDIOC_DQBUF failed\n");
        // The next dequeue works: a buffer that showed and was replaced.
        const int index = out.TakeBuffer();
        ASSERT_GE(index, 0);
        model->InjectFault({diviv::sim::FaultOp::kIoctl, VIDIOC_QBUF, EINVAL});
        testing::internal::CaptureStdout();
        EXPECT_EQ(out.Queue(index, now), -1);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "VIDIOC_QBUF failed\n");
        out.Close();
    }
    EXPECT_EQ(plane->Shown().size(), 8u) << "four pictures each";
}

}  // namespace

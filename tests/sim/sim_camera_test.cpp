// The simulated camera driven the way the capture thread drives it: the
// start-up requests in order, then dequeue / re-queue while frames are
// paced by the board clock; faults from the world file and from the device
// layer; what the pictures show.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/videodev2.h>

#include <chrono>
#include <cmath>
#include <optional>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "sim/FrameBand.h"
#include "sim/SimCamera.h"
#include "sim/World.h"
#include "support/SimBoardFixture.h"

using namespace diviv;
using namespace diviv::sim;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kW = 640, kH = 480;

struct Frame {
    uint32_t index = 0;     // buffer
    uint32_t sequence = 0;  // v4l2_buffer.sequence
    int64_t stamp_us = 0;
    FrameBandReading band;
    std::vector<uint8_t> picture;  // I420, when asked for
};

// One opened camera and its mapped buffers, started as the capture thread
// starts it.
class Capture {
public:
    explicit Capture(int flags = O_RDWR | O_NONBLOCK) {
        int error = 1;
        auto dev = MakeSimCamera(kCameraDevicePath, flags, &error);
        EXPECT_EQ(error, 0);
        camera.reset(static_cast<SimCamera*>(dev.release()));
    }

    int Ioctl(unsigned long request, void* arg) { return camera->Ioctl(request, arg); }

    // Start-up up to and including the buffers. Return: buffers granted.
    int Prepare(int width = kW, int height = kH, int buffers = 6) {
        v4l2_capability cap{};
        EXPECT_EQ(Ioctl(VIDIOC_QUERYCAP, &cap), 0);
        EXPECT_TRUE(cap.capabilities & V4L2_CAP_VIDEO_CAPTURE);
        EXPECT_TRUE(cap.capabilities & V4L2_CAP_STREAMING);
        EXPECT_TRUE(cap.capabilities & V4L2_CAP_VIDEO_OVERLAY);

        v4l2_cropcap cropcap{};
        cropcap.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (Ioctl(VIDIOC_CROPCAP, &cropcap) == 0) {
            v4l2_crop crop{};
            crop.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            crop.c = cropcap.defrect;
            EXPECT_EQ(Ioctl(VIDIOC_S_CROP, &crop), 0);
        }

        v4l2_format fmt{};
        fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        fmt.fmt.pix.width = width;
        fmt.fmt.pix.height = height;
        fmt.fmt.pix.pixelformat = V4L2_PIX_FMT_YUV420;
        fmt.fmt.pix.field = V4L2_FIELD_INTERLACED;
        EXPECT_EQ(Ioctl(VIDIOC_S_FMT, &fmt), 0);
        EXPECT_EQ(fmt.fmt.pix.pixelformat, static_cast<uint32_t>(V4L2_PIX_FMT_YUV420));
        w = static_cast<int>(fmt.fmt.pix.width);
        h = static_cast<int>(fmt.fmt.pix.height);
        EXPECT_EQ(fmt.fmt.pix.bytesperline, fmt.fmt.pix.width);
        EXPECT_EQ(fmt.fmt.pix.sizeimage, fmt.fmt.pix.width * fmt.fmt.pix.height * 3 / 2);

        v4l2_requestbuffers req{};
        req.count = buffers;
        req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        req.memory = V4L2_MEMORY_MMAP;
        EXPECT_EQ(Ioctl(VIDIOC_REQBUFS, &req), 0);
        for (uint32_t i = 0; i < req.count; ++i) {
            v4l2_buffer b{};
            b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            b.memory = V4L2_MEMORY_MMAP;
            b.index = i;
            EXPECT_EQ(Ioctl(VIDIOC_QUERYBUF, &b), 0);
            EXPECT_GE(b.length, fmt.fmt.pix.sizeimage);
            int error = 0;
            maps.push_back(camera->Map(b.length, b.m.offset, &error));
            EXPECT_TRUE(maps.back()) << error;
        }
        return static_cast<int>(req.count);
    }

    // The overlay and the remaining settings, queueing and stream on.
    void Start(bool vflip = false, bool hflip = false, int fps = 30) {
        int output = 0;
        EXPECT_EQ(Ioctl(VIDIOC_S_OUTPUT, &output), 0);
        v4l2_control rotate{V4L2_CID_PRIVATE_BASE, 0};
        EXPECT_EQ(Ioctl(VIDIOC_S_CTRL, &rotate), 0);
        v4l2_format ov{};
        ov.type = V4L2_BUF_TYPE_VIDEO_OVERLAY;
        ov.fmt.win.w = {0, 0, kW, kH};
        EXPECT_EQ(Ioctl(VIDIOC_S_FMT, &ov), 0);
        EXPECT_EQ(Ioctl(VIDIOC_G_FMT, &ov), 0);
        EXPECT_EQ(ov.fmt.win.w.width, static_cast<uint32_t>(kW));
        v4l2_std_id std = 0;
        EXPECT_EQ(Ioctl(VIDIOC_G_STD, &std), 0);
        EXPECT_TRUE(std & V4L2_STD_NTSC);
        v4l2_streamparm parm{};
        parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        parm.parm.capture.timeperframe = {1, static_cast<uint32_t>(fps)};
        EXPECT_EQ(Ioctl(VIDIOC_S_PARM, &parm), 0);
        parm = {};
        parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        EXPECT_EQ(Ioctl(VIDIOC_G_PARM, &parm), 0);
        EXPECT_EQ(parm.parm.capture.timeperframe.denominator, static_cast<uint32_t>(fps));

        v4l2_control flip{V4L2_CID_VFLIP, vflip ? 1 : 0};
        EXPECT_EQ(Ioctl(VIDIOC_S_CTRL, &flip), 0);
        v4l2_control mirror{V4L2_CID_HFLIP, hflip ? 1 : 0};
        EXPECT_EQ(Ioctl(VIDIOC_S_CTRL, &mirror), 0);
        int on = 1;
        EXPECT_EQ(Ioctl(VIDIOC_OVERLAY, &on), 0);
        v4l2_control priv{V4L2_CID_PRIVATE_BASE + 1, 1};
        EXPECT_EQ(Ioctl(VIDIOC_S_CTRL, &priv), 0);

        for (uint32_t i = 0; i < maps.size(); ++i) {
            v4l2_buffer b{};
            b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            b.memory = V4L2_MEMORY_MMAP;
            b.index = i;
            EXPECT_EQ(Ioctl(VIDIOC_QBUF, &b), 0);
        }
        int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        EXPECT_EQ(Ioctl(VIDIOC_STREAMON, &type), 0);
    }

    // One dequeue. Return: 0 with the frame, or -errno.
    int Dequeue(Frame& f, bool keep_picture = false) {
        v4l2_buffer b{};
        b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        b.memory = V4L2_MEMORY_MMAP;
        const int rc = Ioctl(VIDIOC_DQBUF, &b);
        if (rc < 0) return rc;
        const auto* data = static_cast<const uint8_t*>(maps[b.index].data());
        f.index = b.index;
        f.sequence = b.sequence;
        f.stamp_us = int64_t{b.timestamp.tv_sec} * 1000000 + b.timestamp.tv_usec;
        f.band = ReadFrameBand(data, w, h, w);
        if (keep_picture) f.picture.assign(data, data + static_cast<size_t>(w) * h * 3 / 2);
        // Given back at once, its contents used afterwards: as the thread does.
        EXPECT_EQ(Ioctl(VIDIOC_QBUF, &b), 0);
        return 0;
    }

    // Polls every 2 ms for the next frame, for at most `limit`.
    std::optional<Frame> Next(bool keep_picture = false, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
        const auto deadline = Clock::now() + limit;
        Frame f;
        while (Clock::now() < deadline) {
            const int rc = Dequeue(f, keep_picture);
            if (rc == 0) return f;
            if (rc != -EAGAIN) {
                ADD_FAILURE() << "VIDIOC_DQBUF " << rc;
                return std::nullopt;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return std::nullopt;
    }

    // The frame with sequence number `seq` or the first after it.
    std::optional<Frame> FrameAt(uint32_t seq, bool keep_picture = true) {
        for (;;) {
            auto f = Next(keep_picture);
            if (!f || f->sequence >= seq) return f;
        }
    }

    std::unique_ptr<SimCamera> camera;
    std::vector<MappedMemory> maps;
    int w = 0, h = 0;
};

// Sequence numbers missing between consecutive frames.
uint64_t Missing(const std::vector<Frame>& frames) {
    uint64_t missing = 0;
    for (size_t i = 1; i < frames.size(); ++i) missing += frames[i].sequence - frames[i - 1].sequence - 1;
    return missing;
}

// Mean absolute luma difference over the rows above the band.
double LumaDifference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, int w, int h) {
    double sum = 0;
    for (int i = 0; i < w * (h - kBandRows); ++i) sum += std::abs(int{a[i]} - int{b[i]});
    return sum / (w * (h - kBandRows));
}

// Mean of a rectangle of a plane.
double Mean(const uint8_t* plane, int stride, int x0, int y0, int x1, int y1) {
    double sum = 0;
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x) sum += plane[y * stride + x];
    return sum / ((x1 - x0) * (y1 - y0));
}

class SimCameraTest : public SimBoardTest {
protected:
    WorldWriter World() { return WorldWriter(Path(kWorldFile)); }
};

}  // namespace

TEST_F(SimCameraTest, PacesFramesAtTheRequestedRateWithConsecutiveNumbers) {
    Capture cap;
    ASSERT_EQ(cap.Prepare(), 6);
    const auto started = Clock::now();
    cap.Start();
    Frame f;
    EXPECT_EQ(cap.Dequeue(f), -EAGAIN) << "no frame is due right after stream on";

    std::vector<Frame> frames;
    while (frames.size() < 45) {
        auto next = cap.Next();
        ASSERT_TRUE(next);
        frames.push_back(*next);
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - started).count();
    // 45 frames at 30 per second are due 1.5 s after stream on, never before.
    EXPECT_GE(elapsed, 1.45);
    EXPECT_LT(elapsed, 7.5);

    // None lost while the reader keeps up. A machine so busy that this
    // reader fell six frames behind loses frames as the board would; the
    // camera counts them, and exactly those numbers are missing.
    const uint64_t lost = cap.camera->Counters().lost;
    EXPECT_EQ(frames.front().sequence, 0u);
    EXPECT_EQ(Missing(frames), lost);
    if (lost > 0) std::printf("note: %llu frames lost on a busy machine\n", static_cast<unsigned long long>(lost));
    int markers = 0;
    for (size_t i = 0; i < frames.size(); ++i) {
        const Frame& fr = frames[i];
        ASSERT_TRUE(fr.band.ok) << i;
        EXPECT_EQ(fr.band.sequence, fr.sequence);
        if (i == 0) continue;
        // Stamps frame times apart, on the wall clock.
        const int64_t frames_between = fr.sequence - frames[i - 1].sequence;
        EXPECT_NEAR(fr.stamp_us - frames[i - 1].stamp_us, frames_between * 100000 / 3, 1) << i;
        if (frames_between != 1) continue;
        // The marker is on the first frame of each whole wall-clock second.
        const bool new_second = fr.stamp_us / 1000000 != frames[i - 1].stamp_us / 1000000;
        EXPECT_EQ(fr.band.marker, new_second) << i;
        markers += fr.band.marker;
    }
    EXPECT_GE(markers, lost > 0 ? 0 : 1);
    const dr_timeval now = Now();
    const int64_t wall_now = int64_t{now.tv_sec} * 1000000 + now.tv_usec;
    EXPECT_LE(frames.back().stamp_us, wall_now);
    EXPECT_GT(frames.back().stamp_us, wall_now - 2000000);
}

TEST_F(SimCameraTest, AReaderLateByMoreThanItsBuffersLosesFramesOldestFirst) {
    Capture cap;
    ASSERT_EQ(cap.Prepare(), 6);
    cap.Start();
    auto first = cap.Next();
    ASSERT_TRUE(first);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // 15 frames due, 6 buffers
    std::vector<Frame> frames{*first};
    Frame f;
    while (cap.Dequeue(f) == 0) frames.push_back(f);  // what waited in the buffers
    ASSERT_GE(frames.size(), 7u);  // seven, or eight when one fell due meanwhile
    for (size_t i = 2; i < 7; ++i) EXPECT_EQ(frames[i].sequence, frames[i - 1].sequence + 1);
    EXPECT_EQ(frames[1].sequence, first->sequence + 1) << "the oldest frames were kept";
    auto next = cap.Next();
    ASSERT_TRUE(next);
    frames.push_back(*next);
    EXPECT_GE(cap.camera->Counters().lost, 5u);
    EXPECT_EQ(Missing(frames), cap.camera->Counters().lost);
}

TEST_F(SimCameraTest, SlowerRateAndBlockingOpen) {
    Capture cap(O_RDWR);  // blocking: a dequeue waits for the frame
    ASSERT_EQ(cap.Prepare(), 6);
    cap.Start(false, false, 10);
    Frame a, b;
    ASSERT_EQ(cap.Dequeue(a), 0);
    ASSERT_EQ(cap.Dequeue(b), 0);
    EXPECT_EQ(b.sequence, a.sequence + 1);
    EXPECT_NEAR(b.stamp_us - a.stamp_us, 100000, 1);
}

TEST_F(SimCameraTest, DroppedFramesLeaveAGapOfExactlyN) {
    Capture cap;
    ASSERT_EQ(cap.Prepare(), 6);
    cap.Start();
    auto first = cap.Next();
    ASSERT_TRUE(first);
    ASSERT_TRUE(World().CameraDrop(7));
    std::vector<Frame> frames{*first};
    while (frames.size() < 20) {
        auto f = cap.Next();
        ASSERT_TRUE(f);
        ASSERT_TRUE(f->band.ok);
        EXPECT_EQ(f->band.sequence, f->sequence);
        frames.push_back(*f);
    }
    int gaps = 0;
    for (size_t i = 1; i < frames.size(); ++i) gaps += frames[i].sequence - frames[i - 1].sequence >= 8;
    EXPECT_EQ(gaps, 1) << "one gap where 7 frames are missing";
    EXPECT_EQ(cap.camera->Counters().dropped, 7u);
    EXPECT_EQ(Missing(frames), 7 + cap.camera->Counters().lost);

    // The step was taken: the next opening of the camera does not drop again.
    cap = Capture();
}

TEST_F(SimCameraTest, AStepIsTakenOnceAcrossOpenings) {
    ASSERT_TRUE(World().CameraDrop(3));
    {
        Capture cap;
        ASSERT_EQ(cap.Prepare(), 6);
        cap.Start();
        auto f = cap.Next();
        ASSERT_TRUE(f);
        EXPECT_EQ(f->sequence, 3u) << "the first three frames were dropped";
    }
    Capture again;
    ASSERT_EQ(again.Prepare(), 6);
    again.Start();
    auto f = again.Next();
    ASSERT_TRUE(f);
    EXPECT_EQ(f->sequence, 0u);
}

TEST_F(SimCameraTest, StallHoldsFramesBackWithoutAGapInNumbers) {
    Capture cap;
    ASSERT_EQ(cap.Prepare(), 6);
    cap.Start();
    auto before = cap.Next();
    ASSERT_TRUE(before);
    ASSERT_TRUE(World().CameraStall(400));
    const auto stalled_at = Clock::now();
    std::vector<Frame> frames{*before};
    while (frames.size() < 20) {
        auto f = cap.Next();
        ASSERT_TRUE(f);
        frames.push_back(*f);
    }
    EXPECT_GE(Clock::now() - stalled_at, std::chrono::milliseconds(400));
    int64_t longest = 0;
    for (size_t i = 1; i < frames.size(); ++i) {
        longest = std::max(longest, frames[i].stamp_us - frames[i - 1].stamp_us);
    }
    EXPECT_GE(longest, 350000) << "a time gap where the camera stalled";
    EXPECT_EQ(Missing(frames), cap.camera->Counters().lost) << "no number skipped for the stall";
}

TEST_F(SimCameraTest, DequeueFailsWithEioOnRequest) {
    Capture cap;
    ASSERT_EQ(cap.Prepare(), 6);
    cap.Start();
    ASSERT_TRUE(cap.Next());
    // From the device layer: the next dequeue.
    cap.camera->InjectFault({FaultOp::kIoctl, VIDIOC_DQBUF, EIO});
    Frame f;
    EXPECT_EQ(cap.Dequeue(f), -EIO);
    ASSERT_TRUE(cap.Next());
    // From the world: the next two.
    ASSERT_TRUE(World().CameraEio(2));
    EXPECT_EQ(cap.Dequeue(f), -EIO);
    EXPECT_EQ(cap.Dequeue(f), -EIO);
    auto after = cap.Next();
    ASSERT_TRUE(after);
    EXPECT_TRUE(after->band.ok);
}

TEST_F(SimCameraTest, GrantsFewerBuffersOnRequestAndStillDelivers) {
    {
        Capture cap;
        cap.camera->SetMaxBuffers(1);
        ASSERT_EQ(cap.Prepare(), 1);
        cap.Start();
        auto a = cap.Next(), b = cap.Next();
        ASSERT_TRUE(a && b);
        EXPECT_GT(b->sequence, a->sequence);
    }
    ASSERT_TRUE(World().CameraMaxBuffers(2));
    Capture cap;
    EXPECT_EQ(cap.Prepare(), 2);
    ASSERT_TRUE(World().CameraMaxBuffers(0));
    Capture normal;
    EXPECT_EQ(normal.Prepare(), 6);
}

TEST_F(SimCameraTest, RefusesWhatTheDriverRefuses) {
    Capture cap;
    Frame f;
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    EXPECT_EQ(cap.Ioctl(VIDIOC_STREAMON, &type), -EINVAL) << "no buffers yet";
    v4l2_requestbuffers user{};
    user.count = 4;
    user.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    user.memory = V4L2_MEMORY_USERPTR;
    EXPECT_EQ(cap.Ioctl(VIDIOC_REQBUFS, &user), -EINVAL);
    ASSERT_EQ(cap.Prepare(), 6);
    EXPECT_EQ(cap.Dequeue(f), -EINVAL) << "not streaming";
    v4l2_format fmt{};
    fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    EXPECT_EQ(cap.Ioctl(VIDIOC_S_FMT, &fmt), -EBUSY) << "buffers exist";
    v4l2_control unknown{V4L2_CID_BRIGHTNESS, 1};
    EXPECT_EQ(cap.Ioctl(VIDIOC_S_CTRL, &unknown), -EINVAL);
    EXPECT_EQ(cap.Ioctl(0xDEAD, &unknown), -ENOTTY);
    int error = 0;
    EXPECT_FALSE(cap.camera->Map(4096, 12345, &error));
    EXPECT_EQ(error, -EINVAL);

    cap.Start();
    v4l2_buffer b{};
    b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    b.memory = V4L2_MEMORY_MMAP;
    b.index = 0;
    EXPECT_EQ(cap.Ioctl(VIDIOC_QBUF, &b), -EINVAL) << "already queued";
    b.index = 6;
    EXPECT_EQ(cap.Ioctl(VIDIOC_QBUF, &b), -EINVAL);
    ASSERT_TRUE(cap.Next());
    EXPECT_EQ(cap.Ioctl(VIDIOC_STREAMOFF, &type), 0);
    EXPECT_EQ(cap.Dequeue(f), -EINVAL);
    // Every buffer came back: each can be queued again.
    for (uint32_t i = 0; i < 6; ++i) {
        b.index = i;
        EXPECT_EQ(cap.Ioctl(VIDIOC_QBUF, &b), 0) << i;
    }
}

TEST_F(SimCameraTest, TheSceneMoves) {
    Capture cap;
    ASSERT_EQ(cap.Prepare(), 6);
    cap.Start();
    auto a = cap.Next(true), b = cap.Next(true);
    ASSERT_TRUE(a && b);
    EXPECT_GT(LumaDifference(a->picture, b->picture, kW, kH), 5.0) << "consecutive pictures must differ";
    // Texture, not flat colour: neighbouring pixels differ.
    double grain = 0;
    for (int i = 0; i + 1 < kW * 100; ++i) grain += std::abs(int{a->picture[i]} - int{a->picture[i + 1]});
    EXPECT_GT(grain / (kW * 100), 2.0);
}

TEST_F(SimCameraTest, FlipAndMirrorTurnThePictureButNotTheBand) {
    // The picture depends on the frame number only, so frame 3 of each
    // camera shows the same moment.
    auto frame3 = [&](bool vflip, bool hflip) {
        Capture cap;
        EXPECT_EQ(cap.Prepare(), 6);
        cap.Start(vflip, hflip);
        auto f = cap.FrameAt(3);
        EXPECT_TRUE(f && f->sequence == 3);
        EXPECT_TRUE(f && f->band.ok && f->band.sequence == 3);
        return f ? f->picture : std::vector<uint8_t>{};
    };
    const auto plain = frame3(false, false);
    const auto flipped = frame3(true, false);
    const auto mirrored = frame3(false, true);
    ASSERT_FALSE(plain.empty() || flipped.empty() || mirrored.empty());
    EXPECT_GT(LumaDifference(plain, flipped, kW, kH), 5.0);
    EXPECT_GT(LumaDifference(plain, mirrored, kW, kH), 5.0);
    // Away from the band rows: flipped row y is plain row h-1-y, mirrored
    // row y is plain row y reversed.
    for (int y = kBandRows; y < kH - kBandRows; ++y) {
        for (int x = 0; x < kW; ++x) {
            ASSERT_EQ(flipped[y * kW + x], plain[(kH - 1 - y) * kW + x]) << x << "," << y;
            ASSERT_EQ(mirrored[y * kW + x], plain[y * kW + (kW - 1 - x)]) << x << "," << y;
        }
    }
}

TEST_F(SimCameraTest, QuadModeShowsFourDifferentCameras) {
    auto picture = [&](const char* mode) {
        EXPECT_TRUE(Write("/proc/driver/camera/video_mode", mode));
        Capture cap;
        EXPECT_EQ(cap.Prepare(), 6);
        cap.Start();
        auto f = cap.FrameAt(2);
        EXPECT_TRUE(f && f->band.ok);
        return f ? f->picture : std::vector<uint8_t>{};
    };
    const auto quad = picture("4:0\n");
    ASSERT_FALSE(quad.empty());
    // Each quadrant's colour (mean U, V): pairwise clearly apart.
    const uint8_t* u = quad.data() + kW * kH;
    const uint8_t* v = u + (kW / 2) * (kH / 2);
    std::vector<std::pair<double, double>> colours;
    for (int q = 0; q < 4; ++q) {
        const int x0 = (q % 2) * kW / 4, y0 = (q / 2) * kH / 4;
        colours.emplace_back(Mean(u, kW / 2, x0, y0, x0 + kW / 4, y0 + kH / 4 - 8),
                             Mean(v, kW / 2, x0, y0, x0 + kW / 4, y0 + kH / 4 - 8));
    }
    for (int i = 0; i < 4; ++i) {
        for (int j = i + 1; j < 4; ++j) {
            const double d = std::abs(colours[i].first - colours[j].first) + std::abs(colours[i].second - colours[j].second);
            EXPECT_GT(d, 20.0) << "quadrants " << i + 1 << " and " << j + 1;
        }
    }
    // One camera selected: a whole picture, different from the quad one
    // and from another camera's.
    const auto one = picture("1:1\n");
    const auto two = picture("1:2\n");
    EXPECT_GT(LumaDifference(quad, one, kW, kH), 5.0);
    EXPECT_GT(LumaDifference(one, two, kW, kH), 5.0);
    const uint8_t* u1 = one.data() + kW * kH;
    EXPECT_NEAR(Mean(u1, kW / 2, 0, 0, kW / 4, kH / 4), Mean(u1, kW / 2, kW / 4, kH / 4, kW / 2, kH / 2 - 8), 15.0)
        << "one camera fills the picture with one colour scheme";
}

TEST_F(SimCameraTest, OtherSizesKeepTheBandReadable) {
    Capture cap;
    ASSERT_EQ(cap.Prepare(352, 288), 6);
    EXPECT_EQ(cap.w, 352);
    EXPECT_EQ(cap.h, 288);
    cap.Start();
    auto f = cap.Next();
    ASSERT_TRUE(f);
    EXPECT_TRUE(f->band.ok);
    EXPECT_EQ(f->band.sequence, f->sequence);
}

TEST_F(SimCameraTest, OverlayShowsTheLastPictureWhileOn) {
    EXPECT_FALSE(LastOverlayPicture());
    {
        Capture cap;
        ASSERT_EQ(cap.Prepare(), 6);
        cap.Start();  // overlay on
        auto f = cap.Next(true);
        ASSERT_TRUE(f);
        auto plane = LastOverlayPicture();
        ASSERT_TRUE(plane);
        EXPECT_EQ(plane->width, kW);
        EXPECT_EQ(plane->height, kH);
        EXPECT_EQ(plane->window.width, static_cast<uint32_t>(kW));
        const FrameBandReading r = ReadFrameBand(plane->yuv.data(), kW, kH, kW);
        ASSERT_TRUE(r.ok);
        EXPECT_GE(r.sequence, f->sequence);
        int off = 0;
        EXPECT_EQ(cap.Ioctl(VIDIOC_OVERLAY, &off), 0);
        EXPECT_FALSE(LastOverlayPicture());
        int on = 1;
        EXPECT_EQ(cap.Ioctl(VIDIOC_OVERLAY, &on), 0);
        EXPECT_TRUE(LastOverlayPicture());
    }
    EXPECT_FALSE(LastOverlayPicture()) << "a closed camera shows nothing";
}

TEST_F(SimCameraTest, TimeJumpStampsAFrameBeforeTheOneAhead) {
    Capture cap;
    ASSERT_EQ(cap.Prepare(), 6);
    cap.Start();
    auto a = cap.Next();
    ASSERT_TRUE(a);
    ASSERT_TRUE(World().CameraTimeJump(-500));
    auto b = cap.Next();
    ASSERT_TRUE(b);
    EXPECT_EQ(b->sequence, a->sequence + 1);
    EXPECT_LT(b->stamp_us, a->stamp_us);
}

TEST_F(SimCameraTest, OverlayPictureCanBeReadWhileCapturing) {
    // The screenshot side reads the plane while the capture thread runs.
    Capture cap;
    ASSERT_EQ(cap.Prepare(), 6);
    cap.Start();
    std::atomic<bool> stop{false};
    std::atomic<int> reads{0};
    std::thread reader([&] {
        while (!stop) {
            if (auto p = LastOverlayPicture()) {
                EXPECT_TRUE(ReadFrameBand(p->yuv.data(), p->width, p->height, p->width).ok);
                ++reads;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(cap.Next());
    stop = true;
    reader.join();
    EXPECT_GT(reads.load(), 0);
}

// The simulated display and speaker answer the display threads' request
// sequences as the board's drivers do: framebuffers by identification, the
// output device's set-up, buffers shown at their time stamps and logged with
// the camera's frame numbers, the video plane of screenshots, and the SSI
// device's play side writing a WAV file.
#include <fcntl.h>
#include <linux/fb.h>
#include <linux/videodev2.h>
#include <sys/time.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/Board.h"
#include "platform/MxcDisplay.h"
#include "platform/SsiAudio.h"
#include "sim/FrameBand.h"
#include "sim/SimDisplay.h"
#include "sim/SimSpeaker.h"
#include "support/SimBoardFixture.h"

namespace {

using diviv::Device;

class SimDisplayTest : public SimBoardTest {
protected:
    std::unique_ptr<Device> Open(const char* path, int flags = O_RDWR) {
        int err = 0;
        auto dev = diviv::TheBoard().OpenDevice(path, flags, &err);
        EXPECT_TRUE(dev) << path << " " << err;
        return dev;
    }

    // Output set up as the display threads do: 640 x 480 "YU12", n buffers.
    struct Output {
        std::unique_ptr<Device> dev;
        std::vector<diviv::MappedMemory> maps;
    };
    Output SetUpOutput(v4l2_rect window, int width = 640, int height = 480) {
        Output o;
        o.dev = Open(diviv::kVideoOutputDevice);
        int out = 0;
        EXPECT_EQ(o.dev->Ioctl(VIDIOC_S_OUTPUT, &out), 0);
        v4l2_crop crop{};
        crop.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
        crop.c = window;
        EXPECT_EQ(o.dev->Ioctl(VIDIOC_S_CROP, &crop), 0);
        v4l2_format fmt{};
        fmt.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
        fmt.fmt.pix.width = width;
        fmt.fmt.pix.height = height;
        fmt.fmt.pix.pixelformat = V4L2_PIX_FMT_YUV420;
        EXPECT_EQ(o.dev->Ioctl(VIDIOC_S_FMT, &fmt), 0);
        EXPECT_EQ(fmt.fmt.pix.sizeimage, static_cast<uint32_t>(width * height * 3 / 2));
        v4l2_requestbuffers req{};
        req.count = 4;
        req.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
        req.memory = V4L2_MEMORY_MMAP;
        EXPECT_EQ(o.dev->Ioctl(VIDIOC_REQBUFS, &req), 0);
        EXPECT_EQ(req.count, 4u);
        for (uint32_t i = 0; i < req.count; ++i) {
            v4l2_buffer b{};
            b.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
            b.memory = V4L2_MEMORY_MMAP;
            b.index = i;
            EXPECT_EQ(o.dev->Ioctl(VIDIOC_QUERYBUF, &b), 0);
            int err = 0;
            o.maps.push_back(o.dev->Map(b.length, b.m.offset, &err));
            EXPECT_TRUE(o.maps.back()) << err;
        }
        return o;
    }

    static int Queue(Device& dev, uint32_t index, timeval when) {
        v4l2_buffer b{};
        b.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
        b.memory = V4L2_MEMORY_MMAP;
        b.index = index;
        b.timestamp = when;
        return dev.Ioctl(VIDIOC_QBUF, &b);
    }

    static timeval Now(long plus_us = 0) {
        timeval t{};
        gettimeofday(&t, nullptr);
        const long us = t.tv_usec + plus_us;
        t.tv_sec += us / 1000000;
        t.tv_usec = us % 1000000;
        return t;
    }

    std::vector<std::vector<long long>> ShownLog() {
        std::vector<std::vector<long long>> lines;
        std::istringstream in(Read(diviv::sim::kShownLogFile));
        long long a, b, c;
        while (in >> a >> b >> c) lines.push_back({a, b, c});
        return lines;
    }
};

TEST_F(SimDisplayTest, FramebuffersAreFoundByIdentificationAndKeepTheirSettings) {
    const char* expected[] = {"DISP0 BG", "DISP0 FG", "DISP3 BG", "DISP3 FG"};
    for (int i = 0; i < 4; ++i) {
        auto fb = Open(("/dev/fb" + std::to_string(i)).c_str());
        fb_fix_screeninfo fix{};
        ASSERT_EQ(fb->Ioctl(FBIOGET_FSCREENINFO, &fix), 0);
        EXPECT_STREQ(fix.id, expected[i]);
    }
    auto fb = Open("/dev/fb0");
    fb_fix_screeninfo fix{};
    fb_var_screeninfo var{};
    ASSERT_EQ(fb->Ioctl(FBIOGET_FSCREENINFO, &fix), 0);
    ASSERT_EQ(fb->Ioctl(FBIOGET_VSCREENINFO, &var), 0);
    EXPECT_EQ(var.xres, 640u);
    EXPECT_EQ(var.yres, 480u);
    EXPECT_EQ(var.bits_per_pixel, 16u);
    EXPECT_EQ(fix.line_length, 1280u);

    mxcfb_gbl_alpha bad_alpha{1, 256};
    EXPECT_EQ(fb->Ioctl(MXCFB_SET_GBL_ALPHA, &bad_alpha), -EINVAL);
    mxcfb_gbl_alpha alpha{1, 255};
    EXPECT_EQ(fb->Ioctl(MXCFB_SET_GBL_ALPHA, &alpha), 0);
    mxcfb_color_key key{1, diviv::kDisplayColorKey};
    EXPECT_EQ(fb->Ioctl(MXCFB_SET_CLR_KEY, &key), 0);

    // The plane's memory outlives the opening: a later opening maps what
    // the earlier one painted.
    int err = 0;
    {
        auto m = fb->Map(fix.line_length * var.yres, 0, &err);
        ASSERT_TRUE(m);
        static_cast<uint16_t*>(m.data())[641] = 0x0841;
        EXPECT_FALSE(fb->Map(fix.line_length * var.yres + 1, 0, &err));
    }
    fb.reset();
    auto again = Open("/dev/fb0");
    auto m = again->Map(1280 * 480, 0, &err);
    ASSERT_TRUE(m);
    EXPECT_EQ(static_cast<uint16_t*>(m.data())[641], 0x0841);
}

TEST_F(SimDisplayTest, RefusesWhatTheOutputDriverRefuses) {
    auto dev = Open(diviv::kVideoOutputDevice);
    int out = 9;
    EXPECT_EQ(dev->Ioctl(VIDIOC_S_OUTPUT, &out), -EINVAL);
    v4l2_cropcap cc{};
    cc.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    EXPECT_EQ(dev->Ioctl(VIDIOC_CROPCAP, &cc), -EINVAL);
    cc.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    ASSERT_EQ(dev->Ioctl(VIDIOC_CROPCAP, &cc), 0);
    EXPECT_EQ(cc.bounds.width, 640u);
    v4l2_control rot{V4L2_CID_PRIVATE_BASE, 8};
    EXPECT_EQ(dev->Ioctl(VIDIOC_S_CTRL, &rot), -EINVAL);
    // Dequeue before streaming, and streaming without buffers, fail.
    v4l2_buffer b{};
    b.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    EXPECT_EQ(dev->Ioctl(VIDIOC_DQBUF, &b), -EINVAL);
    int type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    EXPECT_EQ(dev->Ioctl(VIDIOC_STREAMON, &type), -EINVAL);
}

TEST_F(SimDisplayTest, ShowsPicturesAtTheirStampsInOrderAndLogsTheirFrameNumbers) {
    Output o = SetUpOutput({144, 96, 352, 288}, 352, 288);
    ASSERT_EQ(o.maps.size(), 4u);
    for (uint32_t i = 0; i < 4; ++i) {
        std::memset(o.maps[i].data(), 16, o.maps[i].size());
        diviv::sim::DrawFrameBand(static_cast<uint8_t*>(o.maps[i].data()), 352, 288, 100 + i, false);
    }
    // Nothing shows before streaming is on.
    ASSERT_EQ(Queue(*o.dev, 0, Now()), 0);
    EXPECT_EQ(Queue(*o.dev, 0, Now()), -EINVAL);  // already queued
    std::vector<uint8_t> rgb(640 * 480 * 3);
    EXPECT_FALSE(board().Display().VideoPlane(rgb.data(), 640, 480));
    ASSERT_EQ(Queue(*o.dev, 1, Now(100000)), 0);
    int type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    ASSERT_EQ(o.dev->Ioctl(VIDIOC_STREAMON, &type), 0);
    ASSERT_EQ(Queue(*o.dev, 2, Now(200000)), 0);
    ASSERT_EQ(Queue(*o.dev, 3, Now(300000)), 0);

    // Blocking dequeues hand back each buffer once its successor shows.
    const auto start = std::chrono::steady_clock::now();
    for (uint32_t expected = 0; expected < 3; ++expected) {
        v4l2_buffer b{};
        b.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
        b.memory = V4L2_MEMORY_MMAP;
        ASSERT_EQ(o.dev->Ioctl(VIDIOC_DQBUF, &b), 0);
        EXPECT_EQ(b.index, expected);
    }
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));

    const auto log = ShownLog();
    ASSERT_EQ(log.size(), 4u);
    for (size_t i = 0; i < log.size(); ++i) {
        EXPECT_EQ(log[i][0], static_cast<long long>(i));
        EXPECT_EQ(log[i][2], 100 + static_cast<long long>(i));
    }
    // Shown at the stamps, 100 ms apart (a loaded machine, or a sanitizer
    // build, wakes the display thread a few milliseconds late).
    for (size_t i = 2; i < log.size(); ++i) EXPECT_NEAR(log[i][1] - log[i - 1][1], 100000, 20000);

    // The plane shows the last picture in its window: the band's cells at
    // the window's bottom left, black-level grey elsewhere in the window.
    ASSERT_TRUE(board().Display().VideoPlane(rgb.data(), 640, 480));
    const auto px = [&](int x, int y) { return rgb[(static_cast<size_t>(y) * 640 + x) * 3]; };
    EXPECT_EQ(px(0, 0), 0);                // outside the window: untouched
    EXPECT_LT(px(144 + 100, 96 + 100), 5);  // luma 16: black
    // Frame 103: bit 0 (the last cell, columns 304..319) is 1.
    EXPECT_GT(px(144 + 311, 96 + 280), 200);
    EXPECT_LT(px(144 + 263, 96 + 280), 20);  // bit 3 is 0

    ASSERT_EQ(o.dev->Ioctl(VIDIOC_STREAMOFF, &type), 0);
    EXPECT_FALSE(board().Display().VideoPlane(rgb.data(), 640, 480));
}

TEST_F(SimDisplayTest, AScreenshotShowsAPictureThatFellDueWithoutFurtherRequests) {
    Output o = SetUpOutput({0, 0, 640, 480});
    std::memset(o.maps[0].data(), 16, o.maps[0].size());
    std::memset(o.maps[1].data(), 235, o.maps[1].size());  // white
    ASSERT_EQ(Queue(*o.dev, 0, {}), 0);
    ASSERT_EQ(Queue(*o.dev, 1, Now(100000)), 0);
    int type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    ASSERT_EQ(o.dev->Ioctl(VIDIOC_STREAMON, &type), 0);
    std::vector<uint8_t> rgb(640 * 480 * 3);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_TRUE(board().Display().VideoPlane(rgb.data(), 640, 480));
    EXPECT_GT(rgb[(240 * 640 + 320) * 3], 250) << "the second, white picture";
    EXPECT_EQ(ShownLog().size(), 2u);
}

TEST_F(SimDisplayTest, NonBlockingDequeueSaysAgainUntilABufferIsDone) {
    Output o;
    {
        Output set = SetUpOutput({0, 0, 640, 480});
        set.maps.clear();
    }
    auto dev = Open(diviv::kVideoOutputDevice, O_RDWR | O_NONBLOCK);
    v4l2_requestbuffers req{};
    req.count = 9;
    req.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    req.memory = V4L2_MEMORY_MMAP;
    ASSERT_EQ(dev->Ioctl(VIDIOC_REQBUFS, &req), 0);
    EXPECT_EQ(req.count, 5u);  // granted at most
    ASSERT_EQ(Queue(*dev, 0, {}), 0);
    ASSERT_EQ(Queue(*dev, 1, Now(5000000)), 0);  // far in the future
    int type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    ASSERT_EQ(dev->Ioctl(VIDIOC_STREAMON, &type), 0);
    v4l2_buffer b{};
    b.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    EXPECT_EQ(dev->Ioctl(VIDIOC_DQBUF, &b), -EAGAIN);
    EXPECT_EQ(dev->Poll(POLLOUT, 0), 0);
}

TEST_F(SimDisplayTest, TheSsiDevicePlaysWritesIntoAWavFileAtTheSampleRate) {
    auto dev = Open(diviv::kSsiAudioDevice);
    std::vector<int16_t> block(800);
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<int16_t>(i);
    const auto bytes = std::as_bytes(std::span(block));
    EXPECT_EQ(dev->Write(bytes), -EINVAL);  // not configured yet
    wave_config cfg{0, 1, 8000, 16};
    ASSERT_EQ(dev->Ioctl(diviv::IOCTL_SSI_CONFIGURE_SSI, &cfg), 0);

    // 0.5 s fit at once; the next 0.5 s wait for the first to play.
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 5; ++i) ASSERT_EQ(dev->Write(bytes), 1600);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));
    EXPECT_EQ(dev->Write(bytes.first(1601)), 1600);  // odd byte left
    for (int i = 0; i < 4; ++i) ASSERT_EQ(dev->Write(bytes), 1600);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(450));

    std::ifstream in(Path(diviv::sim::kSpeakerWavFile), std::ios::binary);
    std::vector<char> wav((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_EQ(wav.size(), 44u + 10 * 1600);
    EXPECT_EQ(std::memcmp(wav.data(), "RIFF", 4), 0);
    uint32_t data_len = 0, rate = 0;
    std::memcpy(&data_len, wav.data() + 40, 4);
    std::memcpy(&rate, wav.data() + 24, 4);
    EXPECT_EQ(data_len, 10u * 1600);
    EXPECT_EQ(rate, 8000u);
    EXPECT_EQ(std::memcmp(wav.data() + 44 + 1600 * 9, block.data(), 1600), 0);

    // The log: consecutive writes play back to back, 100 ms apart.
    std::istringstream log(Read(diviv::sim::kSpeakerLogFile));
    std::vector<long long> at, offset;
    long long a, b, c;
    while (log >> a >> b >> c) {
        at.push_back(a);
        offset.push_back(b);
        EXPECT_EQ(c, 800);
    }
    ASSERT_EQ(at.size(), 10u);
    EXPECT_EQ(offset[9], 9 * 800);
    EXPECT_NEAR(at[9] - at[0], 900000, 1000);
}

}  // namespace

// The live monitor in the whole recorder: idle with automatic recording off,
// the recorder shows the camera on the display, and a screenshot carries the
// camera's picture (its frame band reads back from the video plane) with the
// monitor's heading, time and quadrant labels stamped into it; a flip asked
// for over the host queue shows on the display within a second.
#include <png.h>

#include <string>
#include <vector>

#include "ScenarioFixture.h"
#include "sim/CameraScene.h"
#include "sim/FrameBand.h"
#include "sim/SimDisplay.h"

namespace {

constexpr int kW = 640, kH = 480;

struct Rgb {
    std::vector<uint8_t> px;
    bool ok = false;
};

Rgb ReadPng(const std::string& path) {
    Rgb out;
    png_image img{};
    img.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&img, path.c_str())) return out;
    img.format = PNG_FORMAT_RGB;
    out.px.resize(PNG_IMAGE_SIZE(img));
    out.ok = img.width == kW && img.height == kH && png_image_finish_read(&img, nullptr, out.px.data(), 0, nullptr);
    return out;
}

// BT.601 studio-range luma of the screenshot.
std::vector<uint8_t> Luma(const Rgb& rgb) {
    std::vector<uint8_t> y(kW * kH);
    for (size_t i = 0; i < y.size(); ++i) {
        const int r = rgb.px[i * 3], g = rgb.px[i * 3 + 1], b = rgb.px[i * 3 + 2];
        y[i] = static_cast<uint8_t>(16 + ((66 * r + 129 * g + 25 * b + 128) >> 8));
    }
    return y;
}

struct Box {
    int x0, y0, x1, y1;
};

class MonitorView : public RecorderScenario {};

TEST_F(MonitorView, AnIdleRecorderShowsTheCameraWithHeadingTimeAndQuadrantLabels) {
    MakeBoard({}, [](Eep_data* e) {
        e->auto_rec = 1;  // no recording by itself: the recorder stays idle
        e->cammode = 0;   // four cameras
        e->mon_osd = 0;
    });
    ASSERT_EQ(Run("0 wait line \"DISP : Start Display\" within 30\n"
                  "+2 screenshot " + dir_ + "/monitor.png\n"
                  "+1 host 17 1\n"
                  "+1 screenshot " + dir_ + "/flipped.png\n"
                  "+2 host 0\n"
                  "+0 expect exit 0 within 30\n",
                  90),
              0)
        << output_;
    EXPECT_TRUE(Printed("MON : Flip=OFF Mirror=OFF")) << output_;

    const Rgb shot = ReadPng(dir_ + "/monitor.png");
    ASSERT_TRUE(shot.ok) << output_;
    const std::vector<uint8_t> luma = Luma(shot);
    const auto band = diviv::sim::ReadFrameBand(luma.data(), kW, kH, kW);
    ASSERT_TRUE(band.ok) << "the camera's frame band on the video plane";

    // The camera's own picture of a frame, as the display shows it.
    const auto camera_picture = [](uint32_t seq, bool vflip) {
        std::vector<uint8_t> pic(kW * kH * 3 / 2);
        diviv::sim::CameraScene scene;
        const auto planes = diviv::sim::I420Planes(pic.data(), kW, kH);
        scene.Draw(planes, 0, seq);
        diviv::sim::FlipPicture(planes, vflip, false);
        std::vector<uint8_t> rgb(kW * kH * 3, 0);
        diviv::sim::ComposeI420(pic.data(), kW, kH, {0, 0, kW, kH}, rgb.data(), nullptr, kW, kH);
        return rgb;
    };
    // Screen pixels equal to the camera's picture.
    const auto same_pixels = [](const Rgb& screen, const std::vector<uint8_t>& camera) {
        int n = 0;
        for (size_t i = 0; i < camera.size(); i += 3)
            n += std::abs(screen.px[i] - camera[i]) <= 2 && std::abs(screen.px[i + 1] - camera[i + 1]) <= 2;
        return n;
    };
    const std::vector<uint8_t> expected = camera_picture(band.sequence, false);

    // Bright caption pixels where the camera has none: heading, time, "1 2"
    // and "3 4".
    const std::vector<uint8_t> expected_luma = Luma({expected, true});
    const auto caption_pixels = [&](Box b) {
        int n = 0;
        for (int y = b.y0; y < b.y1; ++y)
            for (int x = b.x0; x < b.x1; ++x) {
                const size_t i = static_cast<size_t>(y) * kW + x;
                n += luma[i] > expected_luma[i] + 40;
            }
        return n;
    };
    EXPECT_GT(caption_pixels({470, 0, 640, 40}), 30) << "heading";
    EXPECT_GT(caption_pixels({352, 430, 640, 480}), 30) << "time";
    EXPECT_GT(caption_pixels({290, 200, 340, 236}), 10) << "1 2";
    EXPECT_GT(caption_pixels({290, 236, 340, 266}), 10) << "3 4";
    // Most of the screen is the camera's picture itself.
    EXPECT_GT(same_pixels(shot, expected), kW * kH / 3);

    // A second after the host's flip, the camera's picture upside down.
    const Rgb flipped = ReadPng(dir_ + "/flipped.png");
    ASSERT_TRUE(flipped.ok) << output_;
    const std::vector<uint8_t> flipped_luma = Luma(flipped);
    const auto flipped_band = diviv::sim::ReadFrameBand(flipped_luma.data(), kW, kH, kW);
    ASSERT_TRUE(flipped_band.ok) << "the band is drawn after the turn: it reads the same way";
    EXPECT_GT(same_pixels(flipped, camera_picture(flipped_band.sequence, true)), kW * kH / 3);
    EXPECT_LT(same_pixels(flipped, camera_picture(flipped_band.sequence, false)), kW * kH / 6);
}

}  // namespace

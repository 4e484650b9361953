// Recording on the simulated board, judged from outside: the camera's
// pictures leave the capture as an H.264 stream that FFmpeg decodes without
// a complaint, whose pictures carry the camera's frame numbers in order, and
// a screenshot taken while recording shows the camera on the display.
#include <png.h>

#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "CardRecordings.h"
#include "ScenarioFixture.h"

namespace {

using e2e::Capture;
using e2e::ParseFrames;
using e2e::Picture;

class RecordingVideo : public RecorderScenario {};

TEST_F(RecordingVideo, TheCameraIsRecordedAsADecodableStreamAndShownOnTheDisplay) {
    MakeBoard({});
    const std::string dump = dir_ + "/video.h264";
    ASSERT_EQ(Run("0 wait line \"VCE : Start Video Encoding\" within 30\n"
                  "+2 screenshot " + dir_ + "/recording.png\n"
                  "+3 host 0\n"
                  "+0 expect exit 0 within 30\n",
                  120, "", "DIVIV_DUMP_VIDEO=" + dump),
              0)
        << output_;
    EXPECT_TRUE(Printed("VCE : Video Capture Start"));
    EXPECT_TRUE(Printed("VCE:FNUM=")) << "a statistics line every 30 frames";

    // FFmpeg, which no one here wrote, decodes every picture without a word.
    int status = 0;
    const std::string ffmpeg = Capture("ffmpeg -nostdin -v error -i " + dump + " -f null -", &status);
    EXPECT_EQ(status, 0) << ffmpeg;
    EXPECT_EQ(ffmpeg, "") << "decoder complaints";

    // The camera's own frame numbers come back in order: at least four
    // seconds of pictures, none repeated, none out of order, and a second
    // marker about once a second.
    const std::string frames = Capture(std::string(DIVIV_MEDIA_BIN) + " frames " + dump, &status);
    ASSERT_EQ(status, 0) << frames;
    int unreadable = 0;
    const std::vector<Picture> pics = ParseFrames(frames, &unreadable);
    EXPECT_EQ(unreadable, 0) << frames;
    ASSERT_GE(pics.size(), 100u) << frames;
    int markers = 0;
    for (size_t i = 1; i < pics.size(); ++i) {
        EXPECT_GT(pics[i].seq, pics[i - 1].seq) << "picture " << i;
        markers += pics[i].marker;
    }
    const double seconds = static_cast<double>(pics.size()) / 30.0;
    EXPECT_GE(markers, static_cast<int>(seconds) - 1);
    EXPECT_LE(markers, static_cast<int>(seconds) + 2);

    // The screenshot: the camera's live overlay covers the display (its
    // moving picture, not one flat colour).
    png_image img{};
    img.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_file(&img, (dir_ + "/recording.png").c_str())) << output_;
    img.format = PNG_FORMAT_RGB;
    std::vector<uint8_t> px(PNG_IMAGE_SIZE(img));
    ASSERT_TRUE(png_image_finish_read(&img, nullptr, px.data(), 0, nullptr));
    std::vector<int> histogram(64, 0);
    for (size_t i = 0; i + 2 < px.size(); i += 3) ++histogram[(px[i] >> 6) * 16 + (px[i + 1] >> 6) * 4 + (px[i + 2] >> 6)];
    int colours = 0;
    for (int h : histogram) colours += h > 500;
    EXPECT_GE(colours, 4) << "a camera picture, not a flat screen";
}

}  // namespace

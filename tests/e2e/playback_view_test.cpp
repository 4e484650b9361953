// Playing a recording on the simulated board, as a driver would: record a
// short drive, stop, open the file list, pick a full recording and play it.
// The screenshot shows the recorded camera picture (its frame band reads back)
// under the playback caption, the speaker plays the recording's sound, and at
// the end of the file the recorder is back in the file list.
#include <png.h>

#include <cstdint>
#include <string>
#include <vector>

#include "ScenarioFixture.h"
#include "sim/FrameBand.h"
#include "sim/SimSpeaker.h"

namespace {

class PlaybackView : public RecorderScenario {};

// The screenshot's luma, BT.601 from its RGB.
std::vector<uint8_t> ScreenshotLuma(const std::string& png, int* width, int* height) {
    png_image img{};
    img.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&img, png.c_str())) return {};
    img.format = PNG_FORMAT_RGB;
    std::vector<uint8_t> rgb(PNG_IMAGE_SIZE(img));
    if (!png_image_finish_read(&img, nullptr, rgb.data(), 0, nullptr)) return {};
    *width = static_cast<int>(img.width);
    *height = static_cast<int>(img.height);
    std::vector<uint8_t> luma(static_cast<size_t>(*width) * *height);
    for (size_t i = 0; i < luma.size(); ++i) {
        const int r = rgb[i * 3], g = rgb[i * 3 + 1], b = rgb[i * 3 + 2];
        luma[i] = static_cast<uint8_t>(16 + ((66 * r + 129 * g + 25 * b + 128) >> 8));
    }
    return luma;
}

TEST_F(PlaybackView, ARecordingPickedInTheFileListPlaysWithItsPictureAndSound) {
    MakeBoard({}, [](Eep_data* e) { e->duration = 5; });
    const std::string shot = dir_ + "/playback.png";
    ASSERT_EQ(Run("0 wait line \"Start auto recoding\" within 30\n"
                  "+12 key stop\n"
                  "+0 wait line \"DiViv : Recording Stop\" within 20\n"
                  "+2 key select\n"
                  "+0 wait line \"File List Mode Start\" within 20\n"
                  "+1 key down\n"  // the newest file may be a short one: the one before is whole
                  "+1 key select\n"
                  "+0 wait line \"DiViv : Playback Start\" within 20\n"
                  "+2 screenshot " + shot + "\n"
                  "+0 wait line \"VD : Total Decoded Frames\" within 30\n"
                  "+2 host 0\n"
                  "+0 expect exit 0 within 30\n"),
              0)
        << output_;
    EXPECT_TRUE(Printed("PM : Start Playback"));
    EXPECT_TRUE(Printed("VD : Total Decoded Frames : 150")) << "a whole 5 s file at 30 pictures a second";
    // The end of the file ends the mode and brings the file list back.
    EXPECT_GT(CountPrinted("Debug :NumOfFiles="), 1);

    int w = 0, h = 0;
    const std::vector<uint8_t> luma = ScreenshotLuma(shot, &w, &h);
    ASSERT_FALSE(luma.empty()) << output_;
    const diviv::sim::FrameBandReading band = diviv::sim::ReadFrameBand(luma.data(), w, h, w);
    EXPECT_TRUE(band.ok) << "the recorded camera picture is on the display";

    // The speaker played seconds of sound, and not silence.
    const std::string wav = Board(diviv::sim::kSpeakerWavFile);
    ASSERT_GT(wav.size(), 44u + 2u * 8000u * 2u) << "at least two seconds played";
    int loud = 0;
    for (size_t i = 44; i + 1 < wav.size(); i += 2) {
        const int16_t s = static_cast<int16_t>(static_cast<uint8_t>(wav[i]) | (static_cast<uint8_t>(wav[i + 1]) << 8));
        loud += s > 2000 || s < -2000;
    }
    EXPECT_GT(loud, 8000) << "the microphone's tone comes back";
}

}  // namespace

// Stamping the recorder's captions into a 640 x 480 picture, as the video
// capture does for every picture while recording (30 per second).
#include <benchmark/benchmark.h>

#include <ctime>
#include <vector>

#include "osd/font.h"
#include "osd/osd.h"

namespace {

constexpr int kW = 640, kH = 480;

osd_session* Place(int x, int y, int type = FONT_13X17B) {
    osd_session* s = osd_init(kW, kH, x, y);
    osd_install_font(s, font_init(type));
    return s;
}

// Date and time as "%Y/%m/%d %H:%M:%S", formatted per picture.
void BM_DateTimeCaption(benchmark::State& state) {
    std::vector<uint8_t> pic(kW * kH * 3 / 2, 100);
    osd_session* time_right = Place(365, 5);
    time_t t = 1715934615;
    for (auto _ : state) {
        char text[32];
        struct tm tm {};
        localtime_r(&t, &tm);
        strftime(text, sizeof text, "%Y/%m/%d %H:%M:%S", &tm);
        osd_update(time_right, pic.data(), text);
        benchmark::DoNotOptimize(pic.data());
        ++t;
    }
    osd_deinit(time_right);
}
BENCHMARK(BM_DateTimeCaption);

// Date and time plus the camera number, the single-camera picture.
void BM_DateTimeAndCameraCaptions(benchmark::State& state) {
    std::vector<uint8_t> pic(kW * kH * 3 / 2, 100);
    osd_session* time_right = Place(365, 5);
    osd_session* camno = Place(300, 220);
    time_t t = 1715934615;
    for (auto _ : state) {
        char text[32];
        struct tm tm {};
        localtime_r(&t, &tm);
        strftime(text, sizeof text, "%Y/%m/%d %H:%M:%S", &tm);
        osd_update(time_right, pic.data(), text);
        osd_update(camno, pic.data(), "1");
        benchmark::DoNotOptimize(pic.data());
        ++t;
    }
    osd_deinit(time_right);
    osd_deinit(camno);
}
BENCHMARK(BM_DateTimeAndCameraCaptions);

// The four-camera picture: date and time plus the quadrant labels.
void BM_QuadPictureCaptions(benchmark::State& state) {
    std::vector<uint8_t> pic(kW * kH * 3 / 2, 100);
    osd_session* time_right = Place(365, 5);
    osd_session* upper = Place(300, 220);
    osd_session* lower = Place(300, 260);
    for (auto _ : state) {
        osd_update(time_right, pic.data(), "2024/05/17 08:30:15");
        osd_update(upper, pic.data(), "1 2");
        osd_update(lower, pic.data(), "3 4");
        benchmark::DoNotOptimize(pic.data());
    }
    osd_deinit(time_right);
    osd_deinit(upper);
    osd_deinit(lower);
}
BENCHMARK(BM_QuadPictureCaptions);

}  // namespace

BENCHMARK_MAIN();

// The trip report's drawings as inline SVG (no xmlns, no outside reference:
// the page holds them as they are): the GPS track as a map, and values over
// the drive's time as line charts with the events and file changes marked.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace media {

struct ChartPoint {
    int64_t t_ms;  // on the recorder's clock
    double v;
};

struct ChartSeries {
    std::string name, colour;
    std::vector<ChartPoint> points;  // in time order
    int64_t max_gap_ms = 0;          // a longer step breaks the line (0: never)
};

struct ChartMark {
    int64_t t_ms;
    std::string label;  // shown above the mark and as its tooltip
};

struct TimeChart {
    std::string id, title, unit;
    int64_t start_ms = 0, end_ms = 0;  // the time axis
    std::vector<ChartSeries> series;
    std::vector<ChartMark> marks;       // events
    std::vector<int64_t> boundaries;    // file changes
    bool symmetric = false;             // value axis centred on 0
};

// Many points are drawn as the lowest and highest value per pixel column, so
// that a short jolt survives in a chart of an hour.
std::string TimeChartSvg(const TimeChart& c, int width, int height);

struct MapPoint {
    double lat, lon;
};
struct MapMark {
    MapPoint at;
    std::string label;
};

// The segments as lines on an equirectangular projection around the track's
// middle latitude (north up, a scale bar), the start and end, and the marks.
std::string TrackMapSvg(const std::vector<std::vector<MapPoint>>& segments, const std::vector<MapMark>& marks,
                        int width, int height);

// "12:00:05" of a recorder-clock time (UTC).
std::string ClockText(int64_t ms);

}  // namespace media

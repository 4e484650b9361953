#include "ReportCharts.h"

#include <algorithm>
#include <cmath>
#include <ctime>

#include "GpxCsvExport.h"

namespace media {
namespace {

// Plot area inside a chart, in pixels.
constexpr int kLeft = 56, kRight = 12, kTop = 22, kBottom = 24;
constexpr double kEarthRadiusM = 6371000.0;
constexpr double kPi = 3.14159265358979323846;

std::string Num(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f", v);
    return buf;
}

std::string ValueText(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", std::fabs(v) < 1e-9 ? 0.0 : v);
    return buf;
}

// A step of 1, 2 or 5 times a power of ten giving at most `most` steps over span.
double NiceStep(double span, int most) {
    if (span <= 0) return 1;
    const double raw = span / most;
    const double p = std::pow(10.0, std::floor(std::log10(raw)));
    for (double m : {1.0, 2.0, 5.0, 10.0})
        if (m * p >= raw) return m * p;
    return 10 * p;
}

// A time step in seconds giving at most `most` ticks over span.
int64_t TimeStepMs(int64_t span, int most) {
    static constexpr int64_t kSteps[] = {1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 900, 1800, 3600, 7200, 21600, 86400};
    for (int64_t s : kSteps)
        if (span / (s * 1000) <= most) return s * 1000;
    // Recordings days apart: whole days.
    constexpr int64_t kDayMs = 86400000;
    return (span / most / kDayMs + 1) * kDayMs;
}

}  // namespace

std::string ClockText(int64_t ms) {
    const std::time_t t = static_cast<std::time_t>(ms >= 0 ? ms / 1000 : (ms - 999) / 1000);
    std::tm tm{};
    char buf[16] = "?";
    if (gmtime_r(&t, &tm)) std::strftime(buf, sizeof buf, "%H:%M:%S", &tm);
    return buf;
}

std::string TimeChartSvg(const TimeChart& c, int width, int height) {
    const int pw = width - kLeft - kRight, ph = height - kTop - kBottom;
    const int64_t span = std::max<int64_t>(c.end_ms - c.start_ms, 1);
    double lo = 0, hi = 0;
    bool any = false;
    for (const ChartSeries& s : c.series)
        for (const ChartPoint& p : s.points) {
            lo = any ? std::min(lo, p.v) : p.v;
            hi = any ? std::max(hi, p.v) : p.v;
            any = true;
        }
    if (c.symmetric) {
        const double m = std::max({std::fabs(lo), std::fabs(hi), 1.0});
        lo = -m;
        hi = m;
    } else {
        lo = std::min(lo, 0.0);
        hi = std::max(hi, lo + 1.0);
    }
    const double step = NiceStep(hi - lo, 4);
    lo = std::floor(lo / step) * step;
    hi = std::ceil(hi / step) * step;
    auto X = [&](int64_t t) { return kLeft + static_cast<double>(t - c.start_ms) * pw / span; };
    auto Y = [&](double v) { return kTop + (hi - v) * ph / (hi - lo); };

    std::string s = "<svg class=\"chart\" id=\"" + XmlEscaped(c.id) + "\" width=\"" + std::to_string(width) +
                    "\" height=\"" + std::to_string(height) + "\" viewBox=\"0 0 " + std::to_string(width) + " " +
                    std::to_string(height) + "\" role=\"img\">\n";
    s += "<title>" + XmlEscaped(c.title) + "</title>\n";
    s += "<text x=\"" + std::to_string(kLeft) + "\" y=\"14\" class=\"ctitle\">" + XmlEscaped(c.title) + " (" +
         XmlEscaped(c.unit) + ")</text>\n";
    // Legend, right-aligned in the title row.
    double lx = width - kRight;
    for (auto it = c.series.rbegin(); it != c.series.rend(); ++it) {
        s += "<text x=\"" + Num(lx) + "\" y=\"14\" text-anchor=\"end\" fill=\"" + it->colour + "\">" +
             XmlEscaped(it->name) + "</text>\n";
        lx -= 9.0 * static_cast<double>(it->name.size()) + 14;
    }
    s += "<rect x=\"" + std::to_string(kLeft) + "\" y=\"" + std::to_string(kTop) + "\" width=\"" +
         std::to_string(pw) + "\" height=\"" + std::to_string(ph) + "\" class=\"plot\"/>\n";
    for (double v = lo; v <= hi + step / 2; v += step) {
        s += "<line x1=\"" + std::to_string(kLeft) + "\" x2=\"" + std::to_string(kLeft + pw) + "\" y1=\"" + Num(Y(v)) +
             "\" y2=\"" + Num(Y(v)) + "\" class=\"grid\"/>";
        s += "<text x=\"" + std::to_string(kLeft - 4) + "\" y=\"" + Num(Y(v) + 4) + "\" text-anchor=\"end\">" +
             ValueText(v) + "</text>\n";
    }
    const int64_t tstep = TimeStepMs(span, 8);
    for (int64_t t = (c.start_ms / tstep + 1) * tstep; t < c.end_ms; t += tstep)
        s += "<text x=\"" + Num(X(t)) + "\" y=\"" + std::to_string(height - 6) + "\" text-anchor=\"middle\">" +
             ClockText(t) + "</text>\n";
    for (int64_t b : c.boundaries)
        s += "<line x1=\"" + Num(X(b)) + "\" x2=\"" + Num(X(b)) + "\" y1=\"" + std::to_string(kTop) + "\" y2=\"" +
             std::to_string(kTop + ph) + "\" class=\"filechange\"/>\n";

    for (const ChartSeries& series : c.series) {
        // Per pixel column the lowest and highest value, in the order met.
        std::string d;
        int column = -1;
        ChartPoint low{}, high{};
        int64_t last = INT64_MIN;
        bool pen = false;
        auto flush = [&] {
            if (column < 0) return;
            const ChartPoint& a = low.t_ms <= high.t_ms ? low : high;
            const ChartPoint& b = low.t_ms <= high.t_ms ? high : low;
            d += (pen ? " L" : " M") + Num(X(a.t_ms)) + " " + Num(Y(a.v));
            pen = true;
            if (b.v != a.v) d += " L" + Num(X(b.t_ms)) + " " + Num(Y(b.v));
        };
        for (const ChartPoint& p : series.points) {
            if (p.t_ms < c.start_ms || p.t_ms > c.end_ms) continue;
            const bool gap = series.max_gap_ms > 0 && last != INT64_MIN && p.t_ms - last > series.max_gap_ms;
            const int col = static_cast<int>(X(p.t_ms));
            if (col != column || gap) {
                flush();
                if (gap) pen = false;
                column = col;
                low = high = p;
            } else {
                if (p.v < low.v) low = p;
                if (p.v > high.v) high = p;
            }
            last = p.t_ms;
        }
        flush();
        if (!d.empty())
            s += "<path class=\"series\" stroke=\"" + series.colour + "\" d=\"" + d.substr(1) + "\"><title>" +
                 XmlEscaped(series.name) + "</title></path>\n";
    }
    for (const ChartMark& m : c.marks) {
        const std::string x = Num(X(m.t_ms));
        s += "<g class=\"event\"><title>" + XmlEscaped(m.label) + " at " + ClockText(m.t_ms) + "</title><line x1=\"" +
             x + "\" x2=\"" + x + "\" y1=\"" + std::to_string(kTop) + "\" y2=\"" + std::to_string(kTop + ph) +
             "\"/><text x=\"" + x + "\" y=\"" + std::to_string(kTop + 11) + "\" text-anchor=\"middle\">" +
             XmlEscaped(m.label) + "</text></g>\n";
    }
    if (!any)
        s += "<text x=\"" + std::to_string(kLeft + pw / 2) + "\" y=\"" + std::to_string(kTop + ph / 2) +
             "\" text-anchor=\"middle\">no records</text>\n";
    return s + "</svg>\n";
}

std::string TrackMapSvg(const std::vector<std::vector<MapPoint>>& segments, const std::vector<MapMark>& marks,
                        int width, int height) {
    double minLat = 90, maxLat = -90, minLon = 180, maxLon = -180;
    for (const auto& seg : segments)
        for (const MapPoint& p : seg) {
            minLat = std::min(minLat, p.lat);
            maxLat = std::max(maxLat, p.lat);
            minLon = std::min(minLon, p.lon);
            maxLon = std::max(maxLon, p.lon);
        }
    // Metres east and north of the middle; at least 200 m shown.
    const double midLat = (minLat + maxLat) / 2, midLon = (minLon + maxLon) / 2;
    const double mPerDegLat = kEarthRadiusM * kPi / 180.0;
    const double mPerDegLon = mPerDegLat * std::cos(midLat * kPi / 180.0);
    const double spanE = std::max((maxLon - minLon) * mPerDegLon, 200.0);
    const double spanN = std::max((maxLat - minLat) * mPerDegLat, 200.0);
    const int margin = 24;
    const double scale = std::min((width - 2.0 * margin) / spanE, (height - 2.0 * margin) / spanN);  // px per m
    auto X = [&](const MapPoint& p) { return width / 2.0 + (p.lon - midLon) * mPerDegLon * scale; };
    auto Y = [&](const MapPoint& p) { return height / 2.0 - (p.lat - midLat) * mPerDegLat * scale; };

    std::string s = "<svg class=\"map\" id=\"track\" width=\"" + std::to_string(width) + "\" height=\"" +
                    std::to_string(height) + "\" viewBox=\"0 0 " + std::to_string(width) + " " +
                    std::to_string(height) + "\" role=\"img\">\n<title>GPS track</title>\n";
    s += "<rect x=\"0\" y=\"0\" width=\"" + std::to_string(width) + "\" height=\"" + std::to_string(height) +
         "\" class=\"mapbg\"/>\n";
    const MapPoint* first = nullptr;
    const MapPoint* last = nullptr;
    for (const auto& seg : segments) {
        if (seg.empty()) continue;
        std::string points;
        for (const MapPoint& p : seg) {
            if (!points.empty()) points += ' ';
            points.append(Num(X(p))).append(1, ',').append(Num(Y(p)));
        }
        s += "<polyline class=\"route\" points=\"" + points + "\"/>\n";
        if (!first) first = &seg.front();
        last = &seg.back();
    }
    if (first) {
        s += "<circle class=\"start\" cx=\"" + Num(X(*first)) + "\" cy=\"" + Num(Y(*first)) +
             "\" r=\"6\"><title>start</title></circle>\n";
        s += "<rect class=\"end\" x=\"" + Num(X(*last) - 5) + "\" y=\"" + Num(Y(*last) - 5) +
             "\" width=\"10\" height=\"10\"><title>end</title></rect>\n";
    } else {
        s += "<text x=\"" + std::to_string(width / 2) + "\" y=\"" + std::to_string(height / 2) +
             "\" text-anchor=\"middle\">no GPS position recorded</text>\n";
    }
    for (const MapMark& m : marks)
        s += "<g class=\"event\"><title>" + XmlEscaped(m.label) + "</title><circle cx=\"" + Num(X(m.at)) + "\" cy=\"" +
             Num(Y(m.at)) + "\" r=\"5\"/><text x=\"" + Num(X(m.at) + 7) + "\" y=\"" + Num(Y(m.at) - 7) + "\">" +
             XmlEscaped(m.label) + "</text></g>\n";
    // Scale bar: a round length of about a fifth of the width.
    const double barM = NiceStep(width / 5.0 / scale, 1);
    const double barPx = barM * scale;
    const std::string barText = barM >= 1000 ? ValueText(barM / 1000) + " km" : ValueText(barM) + " m";
    s += "<g class=\"scale\"><line x1=\"12\" x2=\"" + Num(12 + barPx) + "\" y1=\"" + std::to_string(height - 12) +
         "\" y2=\"" + std::to_string(height - 12) + "\"/><text x=\"12\" y=\"" + std::to_string(height - 16) + "\">" +
         barText + "</text></g>\n";
    s += "<text x=\"" + std::to_string(width - 14) + "\" y=\"20\" text-anchor=\"middle\" class=\"north\">N</text>\n";
    return s + "</svg>\n";
}

}  // namespace media

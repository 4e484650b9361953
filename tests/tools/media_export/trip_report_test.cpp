// diviv-media report: one page that a browser opens without a server. The
// page is read back as XML: nothing outside it is referenced, the track and
// the charts are there with the event where its reading was, and each
// recording's still is a PNG of its first key picture at the picture's size
// that looks like the picture the camera gave.
#include <gtest/gtest.h>
#include <png.h>

#include <cmath>
#include <filesystem>


#include "DriveRecording.h"
#include "H264TestKit.h"
#include "MediaToolRun.h"
#include "ReportCommand.h"
#include "recording/EventDetect.h"

namespace fs = std::filesystem;
using drivetest::Nmea;
using drivetest::XmlNode;
using mediatest::Tool;

namespace {

std::string GText(int fb, int lr, int ud) {
    gsensor_buffer s{};  // position 1: the sensor's axes are the vehicle's
    s.xaxis = static_cast<int8_t>(fb);
    s.yaxis = static_cast<int8_t>(lr);
    s.zaxis = static_cast<int8_t>(ud);
    char text[kGssTextSize] = "";
    Map_GSS(s, 1, text);
    return text;
}

// A second of a drive north-east from (35.68, 139.76) starting at `second`,
// with a fix every 200 ms, G-sensor texts every 10 ms and pulses.
drivetest::Recording Drive(int64_t created, int second, int width, int height) {
    drivetest::Recording r;
    r.createdSeconds = created;
    r.width = width;
    r.height = height;
    r.records.push_back({0, "$ID1,AB000001,$ID2,CD000002,$ID3,EF000003,$ID4,GH000004\r\n"});
    for (uint32_t t = 0; t < 1000; t += 10) {
        if (t % 200 == 0) {
            char body[96];
            const int k = second * 5 + static_cast<int>(t / 200);
            std::snprintf(body, sizeof body, "GPRMC,0000%02d.%03u,A,3540.%04d,N,13945.%04d,E,30.0,45.0,010124,,,A",
                          second, t, 8000 + 10 * k, 6000 + 12 * k);
            r.records.push_back({t, Nmea(body)});
            r.records.push_back({t, "$SPCNT,00000030\r\n"});
        }
        r.records.push_back({t, GText(0, 0, 16)});
    }
    return r;
}

std::vector<uint8_t> Base64(const std::string& s) {
    std::vector<uint8_t> out;
    uint32_t acc = 0;
    int bits = 0;
    for (char c : s) {
        int v = c >= 'A' && c <= 'Z'   ? c - 'A'
                : c >= 'a' && c <= 'z' ? c - 'a' + 26
                : c >= '0' && c <= '9' ? c - '0' + 52
                : c == '+'             ? 62
                : c == '/'             ? 63
                                       : -1;
        if (v < 0) break;
        acc = acc << 6 | static_cast<uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<uint8_t>(acc >> bits));
        }
    }
    return out;
}

struct Png {
    int width = 0, height = 0;
    std::vector<uint8_t> rgb;
};
bool DecodePng(const std::vector<uint8_t>& bytes, Png& png) {
    png_image img{};
    img.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&img, bytes.data(), bytes.size())) return false;
    img.format = PNG_FORMAT_RGB;
    png.width = static_cast<int>(img.width);
    png.height = static_cast<int>(img.height);
    png.rgb.resize(PNG_IMAGE_SIZE(img));
    return png_image_finish_read(&img, nullptr, png.rgb.data(), 0, nullptr) != 0;
}

// PSNR of the still's luma against the camera's first picture.
double LumaPsnr(const Png& png) {
    std::vector<uint8_t> yuv;
    h264kit::MovingPicture(png.width, png.height, 0, &yuv);
    std::vector<uint8_t> y(static_cast<size_t>(png.width) * png.height);
    for (size_t i = 0; i < y.size(); ++i) {
        const double r = png.rgb[3 * i], g = png.rgb[3 * i + 1], b = png.rgb[3 * i + 2];
        y[i] = static_cast<uint8_t>(std::lround(16 + (65.481 * r + 128.553 * g + 24.966 * b) / 255));
    }
    return h264kit::PsnrDb(y.data(), yuv.data(), y.size());
}

class TripReport : public drivetest::DriveTest {
protected:
    // The page parsed, with what makes it self-contained checked.
    static std::unique_ptr<XmlNode> Page(const std::string& path) {
        const std::string html = drivetest::ReadText(path);
        EXPECT_EQ(html.rfind("<!DOCTYPE html>", 0), 0u);
        for (const char* outside : {"http:", "https:", "<script", "<link", "<iframe", "url(", "@import"})
            EXPECT_EQ(html.find(outside), std::string::npos) << outside;
        std::string why;
        auto doc = drivetest::ParseXml(html, why);
        EXPECT_TRUE(doc) << why;
        if (!doc) return doc;
        EXPECT_EQ(doc->name, "html");
        std::vector<const XmlNode*> all = doc->All("img");
        for (const XmlNode* n : all) EXPECT_EQ(n->Attr("src").rfind("data:image/png;base64,", 0), 0u);
        for (const char* tag : {"a", "object", "embed", "source", "image", "use"})
            EXPECT_TRUE(doc->All(tag).empty()) << tag;
        return doc;
    }

    static std::vector<std::string> Texts(const XmlNode& n, const std::string& tag) {
        std::vector<std::string> t;
        for (const XmlNode* c : n.All(tag)) t.push_back(c->text);
        return t;
    }

};

TEST_F(TripReport, TrackChartsEventsAndStillsInOnePage) {
    const std::string a = Path("FILE00000.ASF"), b = Path("SAV200001.ASF"), html = Path("trip.html");
    drivetest::Recording first = Drive(1700000000, 0, 160, 120);
    first.scramble = true;
    first.records.push_back({990, "$MAXSP,00000030,$TRIP,00000150\r\n"});
    first.records.push_back({990, "$EVENT,00,00,00,00,00,00\r\n"});
    drivetest::Write(a, first);
    // The braking jolt of the event file: -1.5 g front/back at 500 ms.
    drivetest::Recording second = Drive(1700000001, 1, 176, 144);
    for (auto& [t, text] : second.records)
        if (t == 500 && text.rfind("$FB,", 0) == 0) text = GText(-24, 3, 16);
    second.records.push_back({990, "$MAXSP,00000030,$TRIP,00000150\r\n"});
    second.records.push_back({990, "$EVENT,00,00,01,00,00,00\r\n"});
    drivetest::Write(b, second);

    const auto r = Tool({"report", a, b, "--pass", "9274", "-o", html});
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.out, html + ": 2 recording(s), 10 track points, 1 event(s), 2 still(s)\n");
    auto doc = Page(html);
    ASSERT_TRUE(doc);

    // The route: one line through every fix, from a start mark.
    const XmlNode* map = doc->ById("svg", "track");
    ASSERT_TRUE(map);
    const auto lines = map->All("polyline");
    ASSERT_EQ(lines.size(), 1u);
    const std::string points = lines[0]->Attr("points");
    EXPECT_EQ(std::count(points.begin(), points.end(), ','), 10);
    EXPECT_EQ(map->All("circle").size(), 2u) << "start and the braking event";

    // Speed, pulses and G-forces over time, the event marked on each.
    std::map<std::string, const XmlNode*> charts;
    for (const XmlNode* s : doc->All("svg")) charts[s->Attr("id")] = s;
    for (const char* id : {"speed", "pulses", "gforce"}) {
        ASSERT_TRUE(charts.count(id)) << id;
        EXPECT_FALSE(charts[id]->All("path").empty()) << id;
        const auto marks = Texts(*charts[id], "text");
        EXPECT_NE(std::find(marks.begin(), marks.end(), "braking"), marks.end()) << id;
    }
    EXPECT_EQ(charts["gforce"]->All("path").size(), 3u);

    // The event where its reading was: the jolt 500 ms into the second file.
    const XmlNode* events = doc->ById("table", "events");
    ASSERT_TRUE(events);
    const auto cells = Texts(*events, "td");
    ASSERT_EQ(cells.size(), 5u);
    EXPECT_EQ(cells[1], "braking");
    EXPECT_EQ(cells[3], "SAV200001.ASF");
    EXPECT_EQ(cells[4], "front/back -1.50 g");
    // The second file follows the first's end (about 22:13:21), plus 500 ms.
    EXPECT_EQ(cells[0], "22:13:21");

    // One still per recording, at its picture size, looking like the camera's picture.
    const auto imgs = doc->All("img");
    ASSERT_EQ(imgs.size(), 2u);
    const int sizes[2][2] = {{160, 120}, {176, 144}};
    for (size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        Png png;
        ASSERT_TRUE(DecodePng(Base64(imgs[i]->Attr("src").substr(22)), png));
        EXPECT_EQ(png.width, sizes[i][0]);
        EXPECT_EQ(png.height, sizes[i][1]);
        EXPECT_GT(LumaPsnr(png), 25.0);
    }
}

TEST_F(TripReport, FolderInCreationOrderWithoutGpsOrPassCode) {
    fs::create_directories(dir_ / "DATA" / "00");
    drivetest::Recording early, late;
    early.createdSeconds = 1700000000;
    early.scramble = true;
    late.createdSeconds = 1700000060;
    early.records = late.records = {{0, GText(0, 0, 16)}, {10, GText(0, 0, 16)}};
    // By name the later one comes first.
    drivetest::Write(Path("DATA/00/SAV200001.ASF"), early);
    drivetest::Write(Path("DATA/00/FILE00002.ASF"), late);
    const std::string html = Path("trip.html");
    const auto r = Tool({"report", Path("DATA"), "-o", html});
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.out, html + ": 2 recording(s), 0 track points, 0 event(s), 1 still(s)\n");
    auto doc = Page(html);
    ASSERT_TRUE(doc);
    const auto map = Texts(*doc, "text");
    EXPECT_NE(std::find(map.begin(), map.end(), "no GPS position recorded"), map.end());

    const XmlNode* files = doc->ById("table", "files");
    ASSERT_TRUE(files);
    const auto rows = files->All("tr");
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[1]->First("td")->text.rfind("SAV200001.ASF", 0), 0u);
    EXPECT_EQ(rows[2]->First("td")->text.rfind("FILE00002.ASF", 0), 0u);
    // Without the pass code the scrambled picture is not shown as garbage.
    EXPECT_EQ(rows[1]->All("img").size(), 0u);
    EXPECT_EQ(rows[1]->All("td").back()->text, "scrambled: give the pass code (--pass)");
    EXPECT_EQ(rows[2]->All("img").size(), 1u);

    // Nothing to report on, or nowhere to put it: refused.
    EXPECT_EQ(Tool({"report", Path("DATA/none"), "-o", html}).rc, 1);
    EXPECT_EQ(Tool({"report", Path("DATA")}).rc, 1);
}

// A recording without a creation date (1601) before a dated one: the time
// axis spans centuries with a handful of labels, not one per day.
TEST_F(TripReport, UndatedRecordingKeepsThePageSmall) {
    drivetest::Recording undated, dated;
    undated.createdSeconds = -11644473600;  // creation date 0
    dated.createdSeconds = 1700000000;
    undated.records = dated.records = {{0, GText(0, 0, 16)}};
    drivetest::Write(Path("A.ASF"), undated);
    drivetest::Write(Path("B.ASF"), dated);
    const std::string html = Path("trip.html");
    const auto r = Tool({"report", Path("A.ASF"), Path("B.ASF"), "-o", html});
    ASSERT_EQ(r.rc, 0) << r.err;
    auto doc = Page(html);
    ASSERT_TRUE(doc);
    for (const XmlNode* svg : doc->All("svg")) EXPECT_LT(svg->All("text").size(), 40u) << svg->Attr("id");
    EXPECT_LT(fs::file_size(html), 200000u);
}

// Each event a file counted is placed at the reading that raised it.
TEST(DriveEvents, PlacedAtTheReadingOfTheirKind) {
    media::SensorTrack t;
    media::TrackFile& f = t.files.emplace_back();
    f.path = "DATA/00/SAV900001.ASF";  // acceleration and the external input
    f.start_ms = 1000;
    auto add = [&](media::RecordKind kind, uint32_t pts) -> media::SensorRecord& {
        media::SensorRecord& r = t.records.emplace_back();
        r.kind = kind;
        r.well_formed = true;
        r.pts_ms = pts;
        r.time_ms = f.start_ms + pts;
        return r;
    };
    add(media::kRecordGsensor, 0).axes = {5, 2, 16};
    add(media::kRecordGsensor, 100).axes = {-3, -20, 16};
    add(media::kRecordGsensor, 200).axes = {30, 4, 16};
    add(media::kRecordGsensor, 300).axes = {-10, 19, 16};
    add(media::kRecordPin, 0).contacts = 0x1;
    add(media::kRecordPin, 200).contacts = 0x0;  // input 1 changes: not the event input
    add(media::kRecordPin, 400).contacts = 0x9;
    add(media::kRecordPin, 600).contacts = 0x1;
    add(media::kRecordSpeed, 0).pulses = 10;
    add(media::kRecordSpeed, 500).pulses = 50;
    add(media::kRecordSpeed, 900).pulses = 12;
    add(media::kRecordEvent, 990).events = {1, 1, 0, 2, 0, 0};
    f.record_count = t.records.size();

    const auto events = media::FindDriveEvents(t);
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[0].kind, "steering");
    EXPECT_EQ(events[0].t_ms, 1100);
    EXPECT_EQ(events[0].detail, "left/right -1.25 g");
    EXPECT_EQ(events[1].kind, "acceleration");
    EXPECT_EQ(events[1].t_ms, 1200);
    EXPECT_EQ(events[1].detail, "front/back +1.88 g");
    EXPECT_EQ(events[2].kind, "external input");
    EXPECT_EQ(events[2].t_ms, 1400);
    EXPECT_EQ(events[3].kind, "speed");
    EXPECT_EQ(events[3].t_ms, 1500);
    EXPECT_EQ(events[3].count, 2);
    EXPECT_EQ(events[3].detail, "50 speed pulses");
}

}  // namespace

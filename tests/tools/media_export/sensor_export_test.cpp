// diviv-media export --gpx / --csv against the records that went into the
// recordings: G-sensor texts made by the recorder's own axis mapping, RMC
// sentences in every hemisphere, pulses, contacts and summaries, one file and
// several joined in order.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>


#include "DriveRecording.h"
#include "MediaToolRun.h"
#include "recording/EventDetect.h"

namespace fs = std::filesystem;
using drivetest::Nmea;
using mediatest::Tool;

namespace {

// The G-sensor text the recorder writes for a sample of the sensor's axes.
std::string GText(int position, int x, int y, int z) {
    gsensor_buffer s{};
    s.xaxis = static_cast<int8_t>(x);
    s.yaxis = static_cast<int8_t>(y);
    s.zaxis = static_cast<int8_t>(z);
    char text[kGssTextSize] = "";
    EXPECT_EQ(Map_GSS(s, position, text), 22);
    return text;
}

std::vector<std::string> SplitCsvLine(const std::string& line) {
    std::vector<std::string> f(1);
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted && c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
            f.back() += '"';
            ++i;
        } else if (c == '"') {
            quoted = !quoted;
        } else if (c == ',' && !quoted) {
            f.emplace_back();
        } else {
            f.back() += c;
        }
    }
    return f;
}

// The CSV as rows of named columns.
std::vector<std::map<std::string, std::string>> ReadCsv(const std::string& path) {
    std::istringstream in(drivetest::ReadText(path));
    std::string line;
    std::getline(in, line);
    const std::vector<std::string> header = SplitCsvLine(line);
    std::vector<std::map<std::string, std::string>> rows;
    while (std::getline(in, line)) {
        const std::vector<std::string> f = SplitCsvLine(line);
        EXPECT_EQ(f.size(), header.size()) << line;
        auto& row = rows.emplace_back();
        for (size_t i = 0; i < header.size() && i < f.size(); ++i) row[header[i]] = f[i];
    }
    return rows;
}

class SensorExport : public drivetest::DriveTest {
protected:
    // A second of driving created at 1700000000.250 s (2023-11-14T22:13:20.250Z).
    static drivetest::Recording First() {
        drivetest::Recording r;
        r.createdMicros = 250000;
        r.records = {
            {0, "$ID1,AB000001,$ID2,CD000002,$ID3,EF000003,$ID4,GH000004\r\n"},
            // Mounted at position 20: FB = y, LR = -z, UD = -x.
            {0, GText(20, -16, 8, -40)},
            // Position 1, the extremes: -128 stays -128, -1 is 0xFF.
            {10, GText(1, -128, -1, 127)},
            // South-west, course left empty (the date keeps its place).
            {33, Nmea("GPRMC,235959.125,A,3540.1234,S,13945.5678,W,12.5,,311224,,,A")},
            {33, "$SPCNT,00000042\r\n"},
            {33, "$ENCNT,00001234\r\n"},
            {40, "$PIN,00001001\r\n"},
            {50, "$FB,ZZ,$LR,00,$UD,00\r\n"},
            {66, Nmea("GPRMC,000000.000,V,,,,,,,010100,,,N")},
            {966, "$MAXSP,00000042,$TRIP,00000999\r\n"},
            {966, "$EVENT,01,00,02,00,00,05\r\n"},
        };
        return r;
    }

    // Created before the first one ends: joined right after it.
    static drivetest::Recording Second() {
        drivetest::Recording r;
        r.createdSeconds = 1700000000;
        r.pictures = 60;
        r.records = {
            {100, Nmea("GPRMC,000001.500,A,4807.0380,N,01131.0000,E,022.4,084.4,010100,003.1,W")},
            {1100, Nmea("GPRMC,000002.500,A,4807.0400,N,01131.0100,E,0.0,,010100,,,A")},
            {1900, "$MAXSP,00000000,$TRIP,00000000\r\n"},
        };
        return r;
    }

};

TEST_F(SensorExport, CsvHoldsEveryRecordWithItsTimeAndValues) {
    const std::string asf = Path("FILE00000.ASF"), csv = Path("drive.csv");
    drivetest::Write(asf, First());
    const auto r = Tool({"export", asf, "--csv", csv});
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.out, csv + ": 11 sensor records from 1 recording(s)\n");
    EXPECT_EQ(r.err, "") << "no progress line for a single file";
    const auto rows = ReadCsv(csv);
    ASSERT_EQ(rows.size(), 11u);
    for (const auto& row : rows) EXPECT_EQ(row.at("file"), "FILE00000.ASF");

    EXPECT_EQ(rows[0].at("kind"), "id");
    EXPECT_EQ(rows[0].at("time"), "2023-11-14T22:13:20.250Z");
    EXPECT_EQ(rows[0].at("text"), "$ID1,AB000001,$ID2,CD000002,$ID3,EF000003,$ID4,GH000004");

    // g per vehicle axis: 8, 40, 16 units of 1/16 g.
    EXPECT_EQ(rows[1].at("kind"), "gsensor");
    EXPECT_EQ(rows[1].at("fb_g"), "0.5000");
    EXPECT_EQ(rows[1].at("lr_g"), "2.5000");
    EXPECT_EQ(rows[1].at("ud_g"), "1.0000");
    EXPECT_EQ(rows[2].at("time"), "2023-11-14T22:13:20.260Z");
    EXPECT_EQ(rows[2].at("pts_ms"), "10");
    EXPECT_EQ(rows[2].at("fb_g"), "-8.0000");
    EXPECT_EQ(rows[2].at("lr_g"), "-0.0625");
    EXPECT_EQ(rows[2].at("ud_g"), "7.9375");

    const auto& gps = rows[3];
    EXPECT_EQ(gps.at("kind"), "gps");
    EXPECT_EQ(gps.at("time"), "2023-11-14T22:13:20.283Z");
    EXPECT_EQ(gps.at("gps_status"), "A");
    EXPECT_NEAR(std::stod(gps.at("latitude")), -(35 + 40.1234 / 60), 1e-6);
    EXPECT_NEAR(std::stod(gps.at("longitude")), -(139 + 45.5678 / 60), 1e-6);
    EXPECT_EQ(gps.at("speed_knots"), "12.500");
    EXPECT_EQ(gps.at("course"), "");
    EXPECT_EQ(gps.at("gps_time"), "2024-12-31T23:59:59.125Z");

    EXPECT_EQ(rows[4].at("kind"), "speed");
    EXPECT_EQ(rows[4].at("speed_pulses"), "42");
    EXPECT_EQ(rows[5].at("kind"), "engine");
    EXPECT_EQ(rows[5].at("engine_pulses"), "1234");
    EXPECT_EQ(rows[6].at("kind"), "contacts");
    EXPECT_EQ(rows[6].at("contacts"), "1001");
    EXPECT_EQ(rows[7].at("kind"), "malformed");
    EXPECT_EQ(rows[7].at("fb_g"), "");
    EXPECT_EQ(rows[7].at("text"), "$FB,ZZ,$LR,00,$UD,00");
    EXPECT_EQ(rows[8].at("gps_status"), "V");
    EXPECT_EQ(rows[8].at("latitude"), "");
    EXPECT_EQ(rows[8].at("gps_time"), "2000-01-01T00:00:00.000Z");
    EXPECT_EQ(rows[9].at("kind"), "trip");
    EXPECT_EQ(rows[9].at("max_speed"), "42");
    EXPECT_EQ(rows[9].at("distance"), "999");
    EXPECT_EQ(rows[10].at("kind"), "events");
    EXPECT_EQ(rows[10].at("events"), "steering=1 acceleration=0 braking=2 speed=0 engine=0 idling=5");
    EXPECT_EQ(rows[10].at("time"), "2023-11-14T22:13:21.216Z");
}

TEST_F(SensorExport, GpxIsAValidTrackOfTheFilesJoinedInOrder) {
    const std::string a = Path("FILE00000.ASF"), b = Path("FILE00001.ASF"), gpx = Path("drive.gpx"),
                      csv = Path("drive.csv");
    drivetest::Write(a, First());
    drivetest::Write(b, Second());
    const auto r = Tool({"export", a, b, "--gpx", gpx, "--csv", csv});
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_NE(r.out.find(gpx + ": 3 track points in 2 segment(s) from 2 recording(s)\n"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("reading 2 of 2 (FILE00001.ASF)"), std::string::npos) << r.err;

    std::string why;
    const auto doc = drivetest::ParseXml(drivetest::ReadText(gpx), why);
    ASSERT_TRUE(doc) << why;
    EXPECT_EQ(doc->name, "gpx");
    EXPECT_EQ(doc->Attr("version"), "1.1");
    EXPECT_EQ(doc->Attr("xmlns"), "http://www.topografix.com/GPX/1/1");
    ASSERT_EQ(doc->All("trk").size(), 1u);
    const auto segs = doc->All("trkseg");
    ASSERT_EQ(segs.size(), 2u) << "the invalid fix splits the track";
    const auto pts = doc->All("trkpt");
    ASSERT_EQ(pts.size(), 3u);
    struct Expected {
        double lat, lon;
        const char* time;
        double speed;  // m/s
        const char* course;
    };
    const Expected want[3] = {
        {-(35 + 40.1234 / 60), -(139 + 45.5678 / 60), "2024-12-31T23:59:59.125Z", 12.5 * 1852 / 3600, nullptr},
        {48 + 7.038 / 60, 11 + 31.0 / 60, "2000-01-01T00:00:01.500Z", 22.4 * 1852 / 3600, "84.40"},
        {48 + 7.04 / 60, 11 + 31.01 / 60, "2000-01-01T00:00:02.500Z", 0.0, nullptr},
    };
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_NEAR(std::stod(pts[i]->Attr("lat")), want[i].lat, 1e-6);
        EXPECT_NEAR(std::stod(pts[i]->Attr("lon")), want[i].lon, 1e-6);
        ASSERT_TRUE(pts[i]->First("time"));
        EXPECT_EQ(pts[i]->First("time")->text, want[i].time);
        ASSERT_TRUE(pts[i]->First("gpxtpx:speed"));
        EXPECT_NEAR(std::stod(pts[i]->First("gpxtpx:speed")->text), want[i].speed, 1e-3);
        const auto* course = pts[i]->First("gpxtpx:course");
        EXPECT_EQ(course ? course->text : "", want[i].course ? want[i].course : "");
    }
    // A GPX reader wants the metadata's time to be the track's first.
    ASSERT_TRUE(doc->First("metadata"));
    EXPECT_EQ(doc->First("metadata")->First("time")->text, "2024-12-31T23:59:59.125Z");

    // The second file was created before the first ended: its records follow
    // the first file's, each at its own offset.
    const auto rows = ReadCsv(csv);
    ASSERT_EQ(rows.size(), 14u);
    EXPECT_EQ(rows[11].at("file"), "FILE00001.ASF");
    EXPECT_GT(rows[11].at("time"), rows[10].at("time"));
    EXPECT_EQ(rows[11].at("pts_ms"), "100");
    EXPECT_EQ(rows[12].at("pts_ms"), "1100");
    // Same length of text, so the ISO times compare as the times do; 1 s apart.
    const auto secondOf = [](const std::string& iso) { return std::stod(iso.substr(17, 6)); };
    EXPECT_NEAR(secondOf(rows[12].at("time")) - secondOf(rows[11].at("time")), 1.0, 1e-9);
}

TEST_F(SensorExport, LaterFileKeepsItsOwnCreationTime) {
    const std::string a = Path("A.ASF"), c = Path("C.ASF"), csv = Path("out.csv");
    drivetest::Write(a, First());
    drivetest::Recording later;
    later.createdSeconds = 1700000100;
    later.createdMicros = 7000;
    later.records = {{500, "$SPCNT,00000007\r\n"}};
    drivetest::Write(c, later);
    ASSERT_EQ(Tool({"export", a, c, "--csv", csv}).rc, 0);
    const auto rows = ReadCsv(csv);
    ASSERT_EQ(rows.size(), 12u);
    EXPECT_EQ(rows[11].at("time"), "2023-11-14T22:15:00.507Z");
}

TEST_F(SensorExport, DamagedAndForeignInputs) {
    const std::string whole = Path("whole.ASF"), cut = Path("cut.ASF"), csv = Path("out.csv");
    drivetest::Write(whole, First());
    // Cut after the first half: the records before the cut are exported,
    // with a note, and the command succeeds.
    const std::string bytes = drivetest::ReadText(whole);
    std::ofstream(cut, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size() / 2));
    auto r = Tool({"export", cut, "--csv", csv});
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_NE(r.out.find("note: " + cut + " is damaged"), std::string::npos) << r.out;
    const auto rows = ReadCsv(csv);
    ASSERT_GE(rows.size(), 3u);
    EXPECT_EQ(rows[0].at("kind"), "id");
    EXPECT_NE(rows.back().at("kind"), "events") << "the summaries were after the cut";
    // The report takes it too, and lists it as damaged.
    const std::string html = Path("trip.html");
    r = Tool({"report", cut, "-o", html});
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_NE(r.out.find("note: " + cut + " is damaged"), std::string::npos) << r.out;
    EXPECT_NE(drivetest::ReadText(html).find("damaged: "), std::string::npos);

    // Not a recording at all: refused, naming the file; no output claimed.
    const std::string text = Path("notes.txt");
    std::ofstream(text) << "not a recording\n";
    r = Tool({"export", whole, text, "--gpx", Path("x.gpx")});
    EXPECT_EQ(r.rc, 1);
    EXPECT_NE(r.err.find(text), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("track points"), std::string::npos) << r.out;

    // An output that cannot be written is a failure, not a success.
    r = Tool({"export", whole, "--csv", Path("no/such/folder/out.csv")});
    EXPECT_EQ(r.rc, 1);
    EXPECT_NE(r.err.find("cannot create"), std::string::npos) << r.err;
}

}  // namespace

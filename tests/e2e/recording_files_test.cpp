// Recording to the card, judged from the card afterwards: one ASF file after
// another of the configured length, every captured picture in exactly one
// file, the sound as long as the pictures, the vehicle's records in the
// binary stream, event files renamed, loop recording making room, a full
// card ending the recording in order. The project's reader (diviv-media)
// and FFmpeg read the files.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "CardRecordings.h"
#include "ScenarioFixture.h"

namespace {

using e2e::Capture;
using e2e::CardRecordings;
using e2e::Recording;

constexpr const char* kPass = "9274";  // the parameter record's default pass code
constexpr int kFileSeconds = 2;        // the parameter record takes any length; 2 s keeps runs short
constexpr int kGop = 30;               // preset H: 30 pictures per second, one key picture a second
constexpr int kClickLevel = 12000;     // the click is 24000 loud, the steady tone 4000

// 16-bit little-endian samples of a raw sound file.
std::vector<int16_t> ReadSamples(const std::string& path) {
    const std::string bytes = diviv::sim::ReadTextFile(path);
    std::vector<int16_t> out(bytes.size() / 2);
    std::memcpy(out.data(), bytes.data(), out.size() * 2);
    return out;
}

class RecordingFiles : public RecorderScenario {
protected:
    std::string Card() const { return dir_ + "/mnt/mmc0_p1"; }
    std::string Index() const { return Board("/mnt/mmc0_p2/DATA/.INDEXFILE3"); }
    std::vector<e2e::Picture> Frames(const std::string& file, int* unreadable, int* status) const {
        const std::string out = Capture(std::string(DIVIV_MEDIA_BIN) + " frames " + file + " --pass " + kPass, status);
        return e2e::ParseFrames(out, unreadable);
    }
};

void ShortFiles(Eep_data* e) {
    e->duration = kFileSeconds;
    e->gps_enable = 1;
    e->speed_limit = 30;  // pulses a second: 60 km/h gives 42
}

TEST_F(RecordingFiles, ADriveLeavesGaplessFilesWithSoundAndTheVehiclesRecords) {
    MakeBoard({}, ShortFiles);
    // About 44 s of recording: 22 files of 2 s, 21 file changes.
    ASSERT_EQ(Run("0 wait line \"VCE : Set EncodeStart=1\" within 30\n"
                  "+0 speed 60\n"
                  "+0 engine 2500\n"
                  "+5 contact 2 on\n"
                  "+4 accel -1.5 0 0   # braking held across a file change\n"
                  "+3 accel 0 0 0\n"
                  "+0 camera drop 5\n"
                  "+2 contact 2 off\n"
                  "+30 host 0\n"
                  "+0 expect exit 0 within 30\n",
                  150),
              0)
        << output_;
    const std::vector<Recording> files = CardRecordings(Card());
    ASSERT_GE(files.size(), 21u) << output_;

    // Every captured picture in exactly one file, in order: the camera's
    // frame numbers run on from file to file; the 5 dropped frames leave a
    // gap in the numbers and the same gap in the picture times.
    long next_seq = -1;
    long lost = 0;
    int rmc = 0;
    const std::string media = DIVIV_MEDIA_BIN;
    for (size_t k = 0; k < files.size(); ++k) {
        SCOPED_TRACE(files[k].name);
        int unreadable = 0, status = 0;
        const std::vector<e2e::Picture> pics = Frames(files[k].path, &unreadable, &status);
        ASSERT_EQ(status, 0);
        EXPECT_EQ(unreadable, 0);
        ASSERT_FALSE(pics.empty());
        EXPECT_EQ(pics.front().pts_ms, 0) << "each file starts at time 0";
        // Picture times follow the capture clock: a step of n frame numbers
        // is n frame times, give or take the one frame of the capture's own
        // jitter.
        for (size_t i = 1; i < pics.size(); ++i) {
            const double expected = (pics[i].seq - pics[i - 1].seq) * 1000.0 / 30;
            EXPECT_NEAR(static_cast<double>(pics[i].pts_ms - pics[i - 1].pts_ms), expected, 34.0) << i;
        }
        if (next_seq >= 0) {
            EXPECT_GE(pics.front().seq, next_seq) << "no picture twice";
            lost += pics.front().seq - next_seq;
        }
        for (size_t i = 1; i < pics.size(); ++i) {
            EXPECT_GT(pics[i].seq, pics[i - 1].seq) << i;
            lost += pics[i].seq - pics[i - 1].seq - 1;
        }
        next_seq = pics.back().seq + 1;

        // The configured length on a GOP boundary (the last file ends
        // wherever the recording stopped).
        const e2e::StreamCounts c = e2e::ReadStreamCounts(media, files[k].path);
        ASSERT_TRUE(c.ok);
        EXPECT_EQ(c.video_objects, static_cast<long>(pics.size()));
        if (k + 1 < files.size()) {
            EXPECT_EQ(c.video_objects, kFileSeconds * 30);
            EXPECT_EQ(c.video_objects % kGop, 0);
            EXPECT_EQ(c.key_pictures, c.video_objects / kGop);
        }
        // The sound lasts as long as the pictures.
        const double video_s = (pics.back().pts_ms + 1000.0 / 30) / 1000.0;
        EXPECT_NEAR(c.audio_bytes / 4000.0, video_s, 0.1);

        // The binary stream: the ID record first, a G-sensor text per 10 ms
        // of video time, the pulses in pairs, the summaries last.
        const std::vector<std::string> text = e2e::TextRecords(media, files[k].path, dir_ + "/text.txt");
        ASSERT_GE(text.size(), 3u);
        EXPECT_EQ(text.front(), "$ID1,00000000,$ID2,00000000,$ID3,00000040,$ID4,00000020");
        EXPECT_EQ(text[text.size() - 2].rfind("$MAXSP,", 0), 0u);
        EXPECT_EQ(text.back().rfind("$EVENT,", 0), 0u);
        std::map<std::string, int> kinds;
        for (size_t i = 0; i < text.size(); ++i) {
            const std::string kind = text[i].substr(0, text[i].find(','));
            ++kinds[kind];
            if (kind == "$SPCNT") {
                ASSERT_LT(i + 1, text.size());
                EXPECT_EQ(text[i + 1].rfind("$ENCNT,", 0), 0u);
            }
        }
        EXPECT_EQ(kinds["$ID1"], 1);
        if (k + 1 < files.size()) {
            EXPECT_EQ(kinds["$FB"], pics.back().pts_ms / 10 + 1);
        } else {
            // The stop may come while the writer already holds the sensor
            // slots of the last picture's frame time.
            EXPECT_GE(kinds["$FB"], pics.back().pts_ms / 10 + 1);
            EXPECT_LE(kinds["$FB"], (pics.back().pts_ms + 34) / 10 + 1);
        }
        if (k + 1 < files.size()) {
            EXPECT_GE(kinds["$SPCNT"], 1);
            EXPECT_GE(kinds["$PIN"], 5);
        }
        rmc += kinds["$GPRMC"];
    }
    EXPECT_EQ(lost, 5) << "only the frames the camera dropped are missing";
    // The module needs a few seconds to report; then one sentence a second.
    EXPECT_GE(rmc, static_cast<int>(files.size()) * kFileSeconds / 2) << "GPS sentences";

    // The braking, held over a file change, made exactly one event file:
    // the one where it began. The speed over the limit from the start is
    // counted in the first file's summary but does not make it an event file.
    int events = 0;
    for (const Recording& r : files) events += r.name.rfind("SAV2", 0) == 0;
    EXPECT_EQ(events, 1);
    EXPECT_EQ(CountPrinted("AM: Sudden braking event detected!!"), 1);
    EXPECT_EQ(files.front().name, "FILE00000.ASF");
    const std::vector<std::string> first = e2e::TextRecords(media, files.front().path, dir_ + "/text.txt");
    EXPECT_EQ(first.back(), "$EVENT,00,00,00,01,00,00");
    const std::string index = Index();
    for (const Recording& r : files) EXPECT_NE(index.find(r.name), std::string::npos) << r.name;
    EXPECT_NE(index.find("END"), std::string::npos);

    // Key pictures are scrambled: without the pass code no picture decodes;
    // descrambled, FFmpeg decodes the pictures and the sound without a word.
    int status = 0;
    const std::string plain = Capture(media + " frames " + files[1].path, &status);
    EXPECT_EQ(plain.find("seq="), std::string::npos) << plain.substr(0, 400);
    const std::string h264 = dir_ + "/one.h264";
    Capture(media + " extract " + files[1].path + " --pass " + kPass + " --video " + h264, &status);
    ASSERT_EQ(status, 0);
    EXPECT_EQ(Capture("ffmpeg -nostdin -v error -i " + h264 + " -f null -", &status), "");
    EXPECT_EQ(status, 0);
    // FFmpeg probes the scrambled pictures and says so; about the file
    // itself and its sound it has nothing to say, and the sound lasts as
    // long as the pictures.
    const std::string pcm = dir_ + "/one.pcm";
    const std::string sound = Capture(
        "ffmpeg -nostdin -v error -i " + files[1].path + " -map 0:a -f s16le -ac 1 -ar 8000 -y " + pcm, &status);
    EXPECT_EQ(status, 0);
    std::istringstream complaints(sound);
    for (std::string line; std::getline(complaints, line);) {
        if (line.rfind("[h264", 0) == 0 || line.find("Last message repeated") != std::string::npos) continue;
        ADD_FAILURE() << line;
    }
    EXPECT_NEAR(ReadSamples(pcm).size() / 8000.0, kFileSeconds, 0.1);

    // The microphone clicks at every whole second of the capture clock, when
    // the camera marks its picture. The writer lines the sound up with the
    // pictures to within 20 ms when a file starts (to the nearest 33 ms
    // audio packet), and the marked picture is the first captured at or
    // after the second: a click lands within 50 ms of its marker. A picture
    // time is its 30 Hz frame number from the capture time, so a capture
    // late by a frame on a loaded machine may move one marker by 33 ms; the
    // offset stays the same from file to file: no drift.
    std::vector<long> offsets;
    for (size_t k = 0; k + 1 < files.size(); ++k) {
        SCOPED_TRACE(files[k].name);
        Capture("ffmpeg -nostdin -v error -i " + files[k].path + " -map 0:a -f s16le -ac 1 -ar 8000 -y " + pcm,
                &status);
        const std::vector<int16_t> samples = ReadSamples(pcm);
        std::vector<long> clicks;
        for (size_t i = 0; i < samples.size(); ++i) {
            if (std::abs(samples[i]) < kClickLevel) continue;
            const long ms = static_cast<long>(i / 8);
            if (clicks.empty() || ms - clicks.back() > 500) clicks.push_back(ms);
        }
        int unreadable = 0;
        for (const e2e::Picture& p : Frames(files[k].path, &unreadable, &status)) {
            // A click that belongs to a marker near either end of the file
            // may lie in the neighbouring file.
            if (!p.marker || p.pts_ms < 150 || p.pts_ms + 150 > static_cast<long>(samples.size() / 8)) continue;
            long offset = 100000;
            for (long c : clicks)
                if (std::abs(c - p.pts_ms) < std::abs(offset)) offset = c - p.pts_ms;
            EXPECT_LE(std::abs(offset), 50 + 34 + 6) << "marker at " << p.pts_ms;  // 6 ms: stamp rounding
            offsets.push_back(offset);
        }
    }
    ASSERT_GE(offsets.size(), 10u);
    std::sort(offsets.begin(), offsets.end());
    const long median = offsets[offsets.size() / 2];
    std::printf("click against marker: median %ld ms, from %ld to %ld ms\n", median, offsets.front(), offsets.back());
    EXPECT_LE(std::abs(median), 50 + 6);
    EXPECT_LE(offsets.back() - offsets.front(), 40) << "click against marker from " << offsets.front() << " to "
                                                    << offsets.back() << " ms";
}

// A card whose partition 1 holds partition1_mb megabytes.
diviv::sim::SimBoardOptions SmallCard(uint64_t partition1_mb) {
    diviv::sim::SimBoardOptions o;
    o.card_mb = partition1_mb + 64;  // partition 2 takes 64 MB
    return o;
}

TEST_F(RecordingFiles, LoopRecordingDeletesTheOldestFilesAndKeepsProtectedEventFiles) {
    // Partition 1 of 37 MB: beside the 30 MB the writer keeps free, room
    // for about four 2 s files.
    MakeBoard(SmallCard(37), [](Eep_data* e) {
        e->duration = kFileSeconds;
        e->protect_ev = 0;  // event files protected
    });
    ASSERT_EQ(Run("0 wait line \"VCE : Set EncodeStart=1\" within 30\n"
                  "+3 shock -1.5 0 0\n"
                  "+22 host 0\n"
                  "+0 expect exit 0 within 30\n",
                  120),
              0)
        << output_;
    const std::vector<Recording> files = CardRecordings(Card());
    ASSERT_FALSE(files.empty());
    EXPECT_GE(CountPrinted("Delete OK"), 3) << output_;
    EXPECT_FALSE(Printed("AM : SD Card is Full"));
    // The oldest ordinary files are gone; the event file from the start of
    // the drive is still there.
    EXPECT_NE(files.front().number, 0);
    int events = 0;
    for (const Recording& r : files) events += r.name.rfind("SAV2", 0) == 0;
    EXPECT_EQ(events, 1);
    EXPECT_LT(files.front().number, files.back().number - static_cast<int>(files.size()) + 1)
        << "the event file is older than the ordinary files left";
    // The index lists exactly the files on the card.
    const std::string index = Index();
    for (const Recording& r : files) EXPECT_NE(index.find(r.name), std::string::npos) << r.name;
    std::istringstream in(index);
    int listed = 0;
    for (std::string line; std::getline(in, line);) listed += line.find(".ASF") != std::string::npos;
    EXPECT_EQ(listed, static_cast<int>(files.size())) << index;
    EXPECT_NE(index.find("END"), std::string::npos);
}

TEST_F(RecordingFiles, AFullCardEndsTheRecordingInOrder) {
    // 20 MB: not even one file fits beside the room the writer keeps free.
    MakeBoard(SmallCard(20), [](Eep_data* e) { e->duration = kFileSeconds; });
    ASSERT_EQ(Run("0 wait line \"AM : SD Card is Full\" within 30\n"
                  "+0 wait line \"AM : ASF Multiplex Thread End\" within 10\n"
                  "+1 host 0\n"
                  "+0 expect exit 0 within 30\n",
                  90),
              0)
        << output_;
    EXPECT_TRUE(CardRecordings(Card()).empty());
    EXPECT_TRUE(Printed("AM : SaveIndexFile() done !"));
    EXPECT_NE(Index().find("END"), std::string::npos);
}

}  // namespace

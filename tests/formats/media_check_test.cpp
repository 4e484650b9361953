// diviv-media check over recordings made with the recorder's ASF writer:
// H.264 pictures from libx264, audio packets of 132/132/136 bytes and the
// sensor text records laid out in the writer's order. A sound recording
// passes; a cut or unclosed one fails the command; scrambling, gaps in the
// picture times and short audio are reported without failing it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <span>
#include <string>
#include <vector>

#include <unistd.h>

#include "AsfTestKit.h"
#include "H264TestKit.h"
#include "MediaToolRun.h"
#include "formats/AsfCrypt.h"
#include "platform/VideoEncoder.h"
#include "platform/X264Encoder.h"

namespace fs = std::filesystem;

namespace {

const fs::path kWork = fs::temp_directory_path() / ("diviv-media-check-" + std::to_string(getpid()));

using mediatest::Outcome;
using mediatest::Tool;

std::vector<uint8_t> Text(const std::string& s) { return {s.begin(), s.end()}; }

std::string Rmc(int second) {
    char body[96];
    std::snprintf(body, sizeof body, "GPRMC,1200%02d.000,A,3540.1234,N,13945.5678,E,12.5,90.0,010124,,,A", second % 60);
    uint8_t sum = 0;
    for (const char* p = body; *p; ++p) sum ^= static_cast<uint8_t>(*p);
    char line[128];
    std::snprintf(line, sizeof line, "$%s*%02X\r\n", body, sum);
    return line;
}

// What a recording is made of; the defaults give a sound two-second file.
struct Spec {
    int pictures = 60;            // at 30 per second, frame numbers 0..pictures-1
    std::set<int> dropped;        // frame numbers the camera lost
    int audioMs = -1;             // sound up to this time; -1: as long as the pictures
    bool scramble = false;
    media::PassCode pass{'4', '7', '1', '1'};
    bool gsensor = true;
    std::string speedRecord = "$SPCNT,00000012\r\n";
    std::string eventRecord = "$EVENT,00,01,02,03,00,00\r\n";
};

class MediaCheck : public testing::Test {
protected:
    static void SetUpTestSuite() {
        fs::create_directories(kWork);
        auto enc = diviv::MakeX264Encoder();
        diviv::VideoEncoderParams p;
        p.width = 160;
        p.height = 120;
        p.frame_rate = 30;
        p.bit_rate_kbps = 300;
        p.gop = 15;
        ASSERT_EQ(enc->Open(p), 0);
        std::vector<uint8_t> headers;
        for (auto type : {diviv::HeaderType::kSps, diviv::HeaderType::kPps}) {
            std::span<const uint8_t> h;
            ASSERT_EQ(enc->PutHeader(type, &h), 0);
            headers.insert(headers.end(), h.begin(), h.end());
        }
        std::vector<uint8_t> yuv;
        for (int i = 0; i < 90; ++i) {
            h264kit::MovingPicture(p.width, p.height, i, &yuv);
            diviv::EncodedPicture pic;
            const bool key = i % p.gop == 0;
            ASSERT_EQ(enc->Encode(yuv, key, &pic), 0);
            std::vector<uint8_t> bytes = key ? headers : std::vector<uint8_t>{};
            bytes.insert(bytes.end(), pic.bytes.begin(), pic.bytes.end());
            pictures_.push_back({key, bytes});
        }
        enc->Close();
    }
    static void TearDownTestSuite() { fs::remove_all(kWork); }

    // Lays the objects out as the recorder's writer does: before each
    // picture the G-sensor slots due by its time (the ID record first) and
    // the audio up to it; after it the second's GPS, pulse and contact
    // records; at the end the audio topped up to the next picture's time
    // and the two summaries.
    static std::vector<uint8_t> Record(const std::string& name, const Spec& s) {
        asftest::Writer w(name);
        uint32_t dpts = 0, apts = 0, vpts = 0;
        int cycle = 0;
        bool idPending = true;
        const int audioEnd = s.audioMs;
        auto audioUpTo = [&](uint32_t t) {
            static const int kSizes[3] = {132, 132, 136};
            while (apts < t && (audioEnd < 0 || static_cast<int>(apts) < audioEnd)) {
                w.Write({ASF_MUX_DATA_TYPE_AUDIO, true, apts, std::vector<uint8_t>(kSizes[cycle], 0x5A)});
                apts += kSizes[cycle] / 4;
                cycle = (cycle + 1) % 3;
            }
        };
        auto text = [&](uint32_t t, const std::string& record) {
            w.Write({ASF_MUX_DATA_TYPE_BINARY, true, t, Text(record)});
        };
        for (int n = 0; n < s.pictures; ++n) {
            if (s.dropped.count(n)) continue;
            vpts = static_cast<uint32_t>(n * 1000 / 30);
            if (idPending) {
                text(0, "$ID1,AB000001,$ID2,CD000002,$ID3,EF000003,$ID4,GH000004\r\n");
                idPending = false;
            }
            for (; s.gsensor && dpts <= vpts; dpts += 10) text(dpts, "$FB,01,$LR,FE,$UD,10\r\n");
            audioUpTo(vpts);
            std::vector<uint8_t> picture = pictures_[static_cast<size_t>(n) % pictures_.size()].bytes;
            const bool key = pictures_[static_cast<size_t>(n) % pictures_.size()].key;
            if (key && s.scramble)
                CryptData(picture.data(), picture.data(), static_cast<uint32_t>(picture.size()), s.pass.data());
            w.Write({ASF_MUX_DATA_TYPE_VIDEO, key, vpts, picture});
            if (n % 30 == 15) {
                text(vpts, Rmc(n / 30));
                text(vpts, s.speedRecord);
                text(vpts, "$ENCNT,00000150\r\n");
            }
            if (n % 6 == 0) text(vpts, "$PIN,00000101\r\n");
        }
        audioUpTo(static_cast<uint32_t>(s.pictures * 1000 / 30));
        text(vpts, "$MAXSP,00000016,$TRIP,00000028\r\n");
        text(vpts, s.eventRecord);
        return w.Close();
    }

    static std::string Save(const std::string& name, const std::vector<uint8_t>& bytes) {
        const fs::path p = kWork / name;
        std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                 static_cast<std::streamsize>(bytes.size()));
        return p.string();
    }
    static std::string Make(const std::string& name, const Spec& s = {}) { return Save(name, Record(name, s)); }

    static size_t Count(const std::string& haystack, const std::string& needle) {
        size_t n = 0;
        for (size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1)) ++n;
        return n;
    }

    struct Picture {
        bool key;
        std::vector<uint8_t> bytes;
    };
    static inline std::vector<Picture> pictures_;
};

TEST_F(MediaCheck, SoundRecordingIsListedWithItsContents) {
    const std::string path = Make("FILE00001.ASF");
    Outcome r = Tool({"check", path});
    ASSERT_EQ(r.rc, 0) << r.out << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find(path + ": sound\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("  pictures: 60, key pictures 4\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("  picture times: every 33 ms, no gaps\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("(pictures from 0.000 s to 1.999 s)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("audio: 2.000 s of sound"), std::string::npos) << r.out;
    // 1967 ms of G-sensor slots from 0: 197 texts; two seconds of GPS and pulses.
    EXPECT_NE(r.out.find("  sensor records: 216 (ID 1, G-sensor 197, RMC 2, $SPCNT 2, $ENCNT 2, $PIN 10, "
                         "$MAXSP 1, $EVENT 1)\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("  Trip: maximum speed 16 pulses per record, distance 28 pulses\n"), std::string::npos);
    EXPECT_NE(r.out.find("  Events: steering 0, acceleration 1, braking 2, speed 3, engine speed 0, idling no\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("  scrambled: no\n"), std::string::npos) << r.out;
    EXPECT_EQ(Count(r.out, "note:"), 0u) << r.out;
    EXPECT_NE(r.out.find("1 recording(s) checked, 0 damaged\n"), std::string::npos);

    Outcome info = Tool({"info", path});
    ASSERT_EQ(info.rc, 0) << info.err;
    EXPECT_NE(info.out.find("\nTrip: maximum speed 16 pulses per record, distance 28 pulses\n"), std::string::npos);
    EXPECT_NE(info.out.find("\nEvents: steering 0, acceleration 1, braking 2"), std::string::npos) << info.out;
}

TEST_F(MediaCheck, EventFileNameIsReadAgainstItsCounts) {
    Spec s;
    s.eventRecord = "$EVENT,00,00,01,00,00,00\r\n";
    Outcome ok = Tool({"check", Make("SAV200001.ASF", s)});
    ASSERT_EQ(ok.rc, 0) << ok.out;
    EXPECT_NE(ok.out.find("  event file: braking\n"), std::string::npos) << ok.out;
    EXPECT_EQ(Count(ok.out, "note:"), 0u) << ok.out;
    // Named for steering, but its counts say braking.
    Outcome wrong = Tool({"check", Make("SAV400002.ASF", s)});
    EXPECT_EQ(wrong.rc, 0);
    EXPECT_NE(wrong.out.find("note: the event file's name does not match its $EVENT counts"), std::string::npos)
        << wrong.out;
}

TEST_F(MediaCheck, CutAndUnclosedRecordingsAreDamaged) {
    const std::vector<uint8_t> whole = Record("FILE00002.ASF", {});
    // Cut inside a data packet, as a card pulled while writing leaves it.
    const std::string cut = Save("FILE00003.ASF", std::vector<uint8_t>(whole.begin(), whole.begin() + 5000));
    // Whole packets but never closed: the header's totals are still 0 and
    // there is no index.
    std::vector<uint8_t> open(whole.begin(), whole.begin() + 1084 + 3 * 3200);
    for (size_t i = 0; i < 8; ++i) open[30 + 24 + 16 + i] = 0;  // File Properties: file size
    for (size_t i = 0; i < 8; ++i) open[30 + 24 + 16 + 16 + i] = 0;  // data packets count
    for (size_t i = 0; i < 8; ++i) open[30 + 24 + 16 + 24 + i] = 0;  // play duration
    const std::string unclosed = Save("FILE00004.ASF", open);
    const std::string sound = Save("FILE00002.ASF", whole);

    Outcome r = Tool({"check", sound, cut, unclosed});
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.err, "diviv-media: check: 2 of 3 recordings damaged\n");
    EXPECT_NE(r.out.find(sound + ": sound\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(cut + ": DAMAGED\n  damaged: damaged file: it ends inside a unit"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find(unclosed + ": DAMAGED\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("  damaged: the header was never completed (file size 0): the file was not closed\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("  damaged: the header counts 0 data packets, the Data Object "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("3 recording(s) checked, 2 damaged\n"), std::string::npos);

    // A header whose file size disagrees with the bytes on the card.
    std::vector<uint8_t> grown = whole;
    grown.insert(grown.end(), 100, 0);
    Outcome g = Tool({"check", Save("FILE00005.ASF", grown)});
    EXPECT_EQ(g.rc, 1);
    EXPECT_NE(g.out.find("DAMAGED"), std::string::npos) << g.out;
}

TEST_F(MediaCheck, FolderIsCheckedRecordingByRecording) {
    const fs::path dir = kWork / "card" / "DCIM";
    fs::create_directories(dir);
    Save("card/DCIM/FILE00010.ASF", Record("a", {}));
    Save("card/DCIM/FILE00011.ASF", Record("b", {}));
    Save("card/DCIM/notes.txt", Text("not a recording"));
    Outcome r = Tool({"check", (kWork / "card").string()});
    ASSERT_EQ(r.rc, 0) << r.out << r.err;
    EXPECT_EQ(Count(r.out, ": sound\n"), 2u) << r.out;
    EXPECT_LT(r.out.find("FILE00010.ASF"), r.out.find("FILE00011.ASF"));
    EXPECT_NE(r.out.find("2 recording(s) checked, 0 damaged"), std::string::npos);
    Outcome none = Tool({"check", (kWork / "card" / "empty").string()});
    EXPECT_EQ(none.rc, 1);
}

TEST_F(MediaCheck, ScrambledKeyPicturesAreReportedAndThePassCodeOpensThem) {
    Spec s;
    s.scramble = true;
    const std::string path = Make("FILE00020.ASF", s);
    Outcome plain = Tool({"check", path});
    ASSERT_EQ(plain.rc, 0) << plain.out;
    EXPECT_NE(plain.out.find(": sound\n"), std::string::npos);
    EXPECT_NE(plain.out.find("  scrambled: yes, 4 key pictures need the pass code\n"), std::string::npos) << plain.out;
    EXPECT_EQ(Count(plain.out, "note:"), 0u) << plain.out;

    Outcome right = Tool({"check", path, "--pass", "4711"});
    EXPECT_EQ(right.rc, 0);
    EXPECT_NE(right.out.find("  scrambled: the pass code opens every key picture\n"), std::string::npos) << right.out;
    Outcome wrong = Tool({"check", path, "--pass", "4712"});
    EXPECT_EQ(wrong.rc, 0);
    EXPECT_NE(wrong.out.find("note: the pass code does not open the key pictures"), std::string::npos) << wrong.out;
    EXPECT_EQ(Tool({"check", path, "--pass", "47"}).rc, 1);
}

TEST_F(MediaCheck, LostPicturesShowAsAGapInThePictureTimes) {
    Spec s;
    s.dropped = {20, 21, 22, 23, 24};
    Outcome r = Tool({"check", Make("FILE00030.ASF", s)});
    ASSERT_EQ(r.rc, 0) << r.out;
    EXPECT_NE(r.out.find("  pictures: 55, key pictures 4\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("  picture times: every 33 ms, 1 gap(s), longest 200 ms, about 5 picture(s) missing\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(Count(r.out, "note:"), 0u) << r.out;
}

TEST_F(MediaCheck, AudioShorterThanTheVideoIsNoted) {
    Spec s;
    s.audioMs = 1500;
    Outcome r = Tool({"check", Make("FILE00040.ASF", s)});
    ASSERT_EQ(r.rc, 0) << r.out;
    EXPECT_NE(r.out.find("ends before the pictures by"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("note: the audio ends 4"), std::string::npos) << r.out;

    s.audioMs = 1950;  // within 100 ms: fine
    Outcome close = Tool({"check", Make("FILE00041.ASF", s)});
    EXPECT_EQ(Count(close.out, "note:"), 0u) << close.out;
}

TEST_F(MediaCheck, MalformedSensorRecordsAreNoted) {
    Spec s;
    s.speedRecord = "$SPCNT,12\r\n";
    s.gsensor = false;
    Outcome r = Tool({"check", Make("FILE00050.ASF", s)});
    ASSERT_EQ(r.rc, 0) << r.out;
    EXPECT_NE(r.out.find("G-sensor 0, RMC 2, $SPCNT 2,"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("note: 2 $SPCNT records do not have their layout"), std::string::npos) << r.out;
    EXPECT_EQ(Count(r.out, "note:"), 1u) << r.out;
}

}  // namespace

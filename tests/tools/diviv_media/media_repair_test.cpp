// diviv-media repair: recordings cut as a power loss leaves them (the
// fields completed at close still 0, no index, a partial last packet) come
// back whole: `diviv-media check` passes them and FFmpeg decodes every
// picture that was complete in the whole packets, without an error.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "AsfFileReader.h"
#include "MediaWork.h"
#include "formats/AsfGuid.h"

namespace {

using namespace mediawork;
using mediatest::Tool;

// The recorder's header: File Properties at 30, the three Extended Stream
// Properties inside the Header Extension, the Data Object at 1034.
constexpr size_t kFileProperties = 30, kDataObject = 1034, kDataStart = kDataObject + 50, kPacket = 3200;
constexpr size_t kEsp[3] = {134 + 46 + 130, 134 + 46 + 130 + 88, 134 + 46 + 130 + 176};

uint64_t Le64(const std::vector<uint8_t>& d, size_t at) {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v |= uint64_t{d[at + i]} << (8 * i);
    return v;
}

// The file as the writer leaves it before its close: every field it
// completes at close still 0.
std::vector<uint8_t> AsLeftOpen(std::vector<uint8_t> f) {
    auto zero = [&f](size_t at) { std::memset(&f[at], 0, 8); };
    for (size_t field : {40, 56, 64, 72}) zero(kFileProperties + field);
    for (size_t esp : kEsp) zero(esp + 24), zero(esp + 32);
    zero(kDataObject + 16);
    zero(kDataObject + 40);
    return f;
}

class Repair : public testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!HaveFfmpeg()) return;
        plain_ = MakeRecording("plain.asf", 4);
        ASSERT_FALSE(plain_.empty());
        original_ = Bytes(plain_);
        ASSERT_TRUE(diviv::asf::GuidEquals(&original_[kDataObject], diviv::asf::kDataObject));
        ASSERT_TRUE(diviv::asf::GuidEquals(&original_[kEsp[2]], diviv::asf::kExtendedStreamPropertiesObject));
        packets_ = Le64(original_, kDataObject + 40);
        // For every picture, the packet that holds its last byte.
        media::ObjectAssembler assemble;
        media::MediaObject obj;
        media::WalkResult r =
            media::WalkAsfFile(plain_, [&](ASF_DEMUX_STATE st, const ASF_DEMUX_CONTEXT& c, uint64_t at) {
                if (st == ASF_DEMUX_STATE_VIDEO_DATA && assemble.Add(c.asfPayloadVideo, obj))
                    lastPacketOfPicture_.push_back((at - kDataStart) / kPacket);
                return true;
            });
        ASSERT_TRUE(r.ok) << r.error;
        ASSERT_EQ(lastPacketOfPicture_.size(), 120u);
    }
    static void TearDownTestSuite() { Remove(); }
    void SetUp() override {
        if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg/ffprobe not installed";
    }

    // Pictures complete in the first `whole` packets.
    static int CompletePictures(uint64_t whole) {
        int n = 0;
        for (uint64_t p : lastPacketOfPicture_) n += p < whole ? 1 : 0;
        return n;
    }

    static inline std::string plain_;
    static inline std::vector<uint8_t> original_;
    static inline uint64_t packets_ = 0;
    static inline std::vector<uint64_t> lastPacketOfPicture_;
};

TEST_F(Repair, ClosedRecordingOrOneCutOnlyInItsIndexComesBackByteForByte) {
    const std::string out = Path("closed.repaired.asf");
    mediatest::Outcome r = Tool({"repair", plain_, "-o", out});
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(Bytes(out), original_);

    // Every packet on the card, the index cut or missing, the counts never written.
    const size_t packetsEnd = kDataStart + packets_ * kPacket;
    ASSERT_GT(original_.size(), packetsEnd + 56);
    for (size_t cut : {packetsEnd, packetsEnd + 20, original_.size() - 3}) {
        std::vector<uint8_t> f = AsLeftOpen(original_);
        f.resize(cut);
        const std::string in = Path("index-cut.asf");
        Save(in, f);
        r = Tool({"repair", in, "-o", out});
        ASSERT_EQ(r.rc, 0) << r.err;
        EXPECT_EQ(Bytes(out), original_) << "cut at " << cut;
    }
    // The Header Object's own size lost as well: the header is walked object by object.
    std::vector<uint8_t> f = AsLeftOpen(original_);
    std::memset(&f[16], 0, 8);
    Save(Path("no-header-size.asf"), f);
    ASSERT_EQ(Tool({"repair", Path("no-header-size.asf"), "-o", out}).rc, 0);
    EXPECT_EQ(Bytes(out), original_);
}

TEST_F(Repair, CutRecordingsPassTheCheckAndPlayEveryCompletePicture) {
    ASSERT_GE(packets_, 10u);
    struct Cut {
        size_t at;
        const char* where;
    };
    const std::vector<Cut> cuts = {
        {kDataStart + kPacket + 7, "inside the second packet"},
        {kDataStart + 5 * kPacket + kPacket / 2, "in the middle of a packet"},
        {kDataStart + (packets_ - 3) * kPacket, "at a packet boundary"},
        {kDataStart + (packets_ - 1) * kPacket + kPacket - 1, "one byte short of the last packet"},
    };
    for (const Cut& cut : cuts) {
        SCOPED_TRACE(cut.where);
        std::vector<uint8_t> f = AsLeftOpen(original_);
        f.resize(cut.at);
        const std::string in = Path("cut.asf"), out = Path("cut.repaired.asf");
        Save(in, f);
        // The cut file itself is damaged.
        EXPECT_EQ(Tool({"check", in}).rc, 1);

        mediatest::Outcome r = Tool({"repair", in});
        ASSERT_EQ(r.rc, 0) << r.err;
        const uint64_t whole = (cut.at - kDataStart) / kPacket;
        EXPECT_NE(r.out.find(std::to_string(whole) + " whole packets"), std::string::npos) << r.out;
        mediatest::Outcome check = Tool({"check", out});
        EXPECT_EQ(check.rc, 0) << check.out;
        EXPECT_NE(check.out.find(out + ": sound\n"), std::string::npos) << check.out;
        EXPECT_NE(check.out.find("  pictures: " + std::to_string(CompletePictures(whole)) + ","), std::string::npos)
            << check.out;

        std::string errors;
        EXPECT_EQ(DecodedPictures(out, &errors), CompletePictures(whole)) << errors;
        // The header's totals match what is there, so FFmpeg's duration is the pictures'.
        Shell probe = RunShell("ffprobe -v error -show_entries format=duration -of csv=p=0 '" + out + "'");
        EXPECT_EQ(probe.err, "");
        EXPECT_NEAR(std::atof(probe.out.c_str()), (CompletePictures(whole) - 1) / 30.0, 0.1) << probe.out;

        // Up to the incomplete object the packets are the ones on the card.
        const std::vector<uint8_t> repaired = Bytes(out);
        ASSERT_GE(repaired.size(), kDataStart + (whole - 1) * kPacket);
        EXPECT_TRUE(std::equal(original_.begin() + kDataStart, original_.begin() + kDataStart + (whole - 1) * kPacket,
                               repaired.begin() + kDataStart));
        EXPECT_TRUE(std::equal(original_.begin(), original_.begin() + kFileProperties + 40, repaired.begin()))
            << "the header's start and the creation data are kept";
    }
}

TEST_F(Repair, UnwrittenPacketEndsTheDataAndWhatPrecedesItIsKept) {
    // The card kept the file's length but not the bytes of packet 6 onwards.
    std::vector<uint8_t> f = AsLeftOpen(original_);
    std::fill(f.begin() + kDataStart + 6 * kPacket, f.end(), 0);
    const std::string in = Path("zeros.asf"), out = Path("zeros-fixed.asf");
    Save(in, f);
    mediatest::Outcome r = Tool({"repair", in, "-o", out});
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_NE(r.out.find("6 whole packets"), std::string::npos) << r.out;
    EXPECT_EQ(Tool({"check", out}).rc, 0);
    EXPECT_EQ(DecodedPictures(out), CompletePictures(6));
}

TEST_F(Repair, WhatCannotBeRepairedIsRefusedAndNothingIsWritten) {
    struct Case {
        size_t cut;
        const char* reason;
    };
    const std::vector<Case> cases = {
        {0, "not a recording: no ASF header"},
        {20, "not a recording: no ASF header"},
        {500, "the file ends inside its header"},
        {kDataObject + 10, "the file ends inside its header"},
        {kDataObject + 40, "the file ends inside the Data Object's header"},
        {kDataStart, "no whole data packet"},
        {kDataStart + kPacket - 1, "no whole data packet"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.cut);
        std::vector<uint8_t> f = AsLeftOpen(original_);
        f.resize(c.cut);
        const std::string in = Path("bad.asf"), out = Path("bad-out.asf");
        Save(in, f);
        fs::remove(out);
        mediatest::Outcome r = Tool({"repair", in, "-o", out});
        EXPECT_EQ(r.rc, 1);
        EXPECT_EQ(r.err.rfind("diviv-media: " + in + ": cannot be repaired: " + c.reason, 0), 0u) << r.err;
        EXPECT_FALSE(fs::exists(out));
        EXPECT_FALSE(fs::exists(out + ".part"));
    }
    // A folder that is not there.
    mediatest::Outcome nowhere = Tool({"repair", plain_, "-o", Path("missing/out.asf")});
    EXPECT_EQ(nowhere.rc, 1);
    EXPECT_NE(nowhere.err.find("cannot create"), std::string::npos) << nowhere.err;
    // Not an ASF file at all.
    Save(Path("text.asf"), std::vector<uint8_t>(5000, 'x'));
    EXPECT_EQ(Tool({"repair", Path("text.asf")}).rc, 1);
}

TEST_F(Repair, InputIsNeverOverwrittenAndTheDefaultOutputSitsBesideIt) {
    std::vector<uint8_t> f = AsLeftOpen(original_);
    f.resize(kDataStart + 4 * kPacket + 100);
    const std::string in = Path("FILE0001.ASF");
    Save(in, f);
    mediatest::Outcome same = Tool({"repair", in, "-o", in});
    EXPECT_EQ(same.rc, 1);
    EXPECT_NE(same.err.find("the input is never overwritten"), std::string::npos) << same.err;
    EXPECT_EQ(Bytes(in), f);

    mediatest::Outcome r = Tool({"repair", in});
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(Bytes(in), f);
    EXPECT_TRUE(fs::exists(Path("FILE0001.repaired.asf")));
    EXPECT_NE(r.out.find("written to " + Path("FILE0001.repaired.asf")), std::string::npos) << r.out;
    // Repairing the repaired file changes nothing.
    EXPECT_EQ(Tool({"repair", Path("FILE0001.repaired.asf"), "-o", Path("again.asf")}).rc, 0);
    EXPECT_EQ(Bytes(Path("again.asf")), Bytes(Path("FILE0001.repaired.asf")));
}

}  // namespace

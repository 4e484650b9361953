#include "RecordingTestKit.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "sim/SimBoard.h"

namespace diviv::test {

int PictureTaker::Take(dr_common_t* dr, std::vector<TakenPicture>* out) {
    int taken = 0;
    for (;;) {
        if (!pending_) {
            if (DR_GetRingBufferReadAvailable(&dr->vinfo_buf) < static_cast<int>(sizeof(video_info_t))) break;
            video_info_t info{};
            DR_ReadRingBuffer(&dr->vinfo_buf, &info, sizeof info);
            pending_ = info;
        }
        if (DR_GetRingBufferReadAvailable(&dr->vbs_buf) < static_cast<int>(pending_->DataLength)) break;
        TakenPicture p;
        p.info = *pending_;
        p.bytes.resize(p.info.DataLength);
        DR_ReadRingBuffer(&dr->vbs_buf, p.bytes.data(), static_cast<int>(p.info.DataLength));
        out->push_back(std::move(p));
        pending_.reset();
        ++taken;
    }
    return taken;
}

std::span<const uint8_t> PictureBytes(const TakenPicture& p, size_t header_bytes) {
    return std::span<const uint8_t>(p.bytes).subspan(header_bytes);
}

std::vector<std::string> LogCalls(const std::string& root) {
    std::ifstream in(root + diviv::sim::kLogRecordFile);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

int CountLines(const std::string& text, const std::string& line) {
    std::istringstream in(text);
    int n = 0;
    for (std::string l; std::getline(in, l);) n += l == line ? 1 : 0;
    return n;
}

}  // namespace diviv::test

void RecordingTest::SetUp() {
    SimBoardTest::SetUp();
    ::unsetenv("WDT_ENABLE");
    record_ = NewDrCommon();
    config_ = NewCodecConfig();
    record_->pCodecCfg = config_.get();
    record_->PWR_DET_State = 1;
    ASSERT_EQ(CreateSharedRingBuffers(record_.get()), 0);
}

void RecordingTest::TearDown() {
    FreeSharedRingBuffers(record_.get());
    record_.reset();
    config_.reset();
    SimBoardTest::TearDown();
}

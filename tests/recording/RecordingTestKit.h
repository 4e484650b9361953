// Shared pieces of the recording tests: a shared record with its ring
// buffers on a fresh simulated board, and the writer's view of what the
// video capture handed over (records with their bytes).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/DR_shared.h"
#include "recording/VideoInfo.h"
#include "support/SimBoardFixture.h"

namespace diviv::test {

// One picture as the writer receives it.
struct TakenPicture {
    video_info_t info{};
    std::vector<uint8_t> bytes;  // DataLength bytes: headers (if any) and the picture
};

// Takes every complete record and its bytes out of vinfo_buf / vbs_buf, as
// the writer does. A record whose bytes are not all there yet is kept for
// the next call.
class PictureTaker {
public:
    // Returns the number of pictures taken.
    int Take(dr_common_t* dr, std::vector<TakenPicture>* out);

private:
    std::optional<video_info_t> pending_;
};

// The picture NAL unit's bytes at the end of a unit (after its headers).
std::span<const uint8_t> PictureBytes(const TakenPicture& p, size_t header_bytes);

// Lines of the board's log program calls (the stand-in's log).
std::vector<std::string> LogCalls(const std::string& root);

// Counts the lines of `text` equal to `line`.
int CountLines(const std::string& text, const std::string& line);

}  // namespace diviv::test

// A simulated board with a shared record whose ring buffers exist, supply
// power present, no watchdog.
class RecordingTest : public SimBoardTest {
protected:
    void SetUp() override;
    void TearDown() override;

    std::unique_ptr<dr_common_t> record_;
    std::unique_ptr<codec_config_t> config_;
    dr_common_t* dr() { return record_.get(); }
};

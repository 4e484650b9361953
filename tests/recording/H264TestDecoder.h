// An independent judge for the recorder's H.264 output: libavcodec decodes
// it, single-threaded and strict, and every complaint it logs is counted.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace diviv::test {

struct DecodedPicture {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> luma;  // width x height, no padding
    bool key = false;
};

class H264TestDecoder {
public:
    H264TestDecoder();
    ~H264TestDecoder();
    H264TestDecoder(const H264TestDecoder&) = delete;
    H264TestDecoder& operator=(const H264TestDecoder&) = delete;

    bool ok() const;
    // Decodes one access unit (headers, if any, and one picture). Pictures
    // that come out are appended to pictures(). Returns false on an error.
    bool Decode(std::span<const uint8_t> unit);
    // Drains the decoder at the end of the stream.
    bool Flush();

    const std::vector<DecodedPicture>& pictures() const { return pictures_; }
    // Errors the decoder reported (its log at error level, failed calls,
    // pictures flagged as concealed), with their texts.
    int errors() const { return errors_; }
    const std::string& error_text() const { return error_text_; }

private:
    bool Receive();
    struct Impl;
    std::unique_ptr<Impl> impl_;
    std::vector<DecodedPicture> pictures_;
    int errors_ = 0;
    std::string error_text_;
};

}  // namespace diviv::test

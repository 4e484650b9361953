// mux: elementary streams into a recording, interleaved the way the
// recorder's writer does it: before each picture the sensor records due by
// its time, then the audio packets up to its time, then the picture.
#include <algorithm>
#include <chrono>
#include <memory>
#include <vector>

#include "AnnexB.h"
#include "MediaCommands.h"
#include "WavFile.h"
#include "formats/AsfCrypt.h"
#include "formats/AsfRecorderInit.h"
#include "formats/g726enc.h"

namespace media {
namespace {

constexpr uint32_t kPicturesPerSecond = 30;
constexpr int kAudioPacketSizes[3] = {132, 132, 136};  // 400 bytes = 100 ms per group

struct MuxCloser {
    void operator()(ASF_MUX_CONTEXT* c) const { ASF_Mux_Close(c); }
};

// Lines with their line ends, so that the records put together give the file back.
std::vector<std::vector<uint8_t>> SplitLines(const std::vector<uint8_t>& text) {
    std::vector<std::vector<uint8_t>> lines;
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n') {
            lines.emplace_back(text.begin() + start, text.begin() + i + 1);
            start = i + 1;
        }
    }
    if (start < text.size()) lines.emplace_back(text.begin() + start, text.end());
    return lines;
}

bool EncodeAudio(const PcmAudio& pcm, std::vector<uint8_t>& codes, std::string& error) {
    struct alignas(16) Memory {
        unsigned char bytes[88];
    } mem;
    G726Encoder* enc = g726_enc_create(4, mem.bytes);
    if (enc == nullptr) {
        error = "cannot create the G.726 encoder";
        return false;
    }
    codes.resize(pcm.samples.size() / 2 + 1);
    const int n = g726_encode(enc, pcm.samples.data(), static_cast<int>(pcm.samples.size()), codes.data());
    g726_enc_close(enc);
    codes.resize(n < 0 ? 0 : n);
    return n >= 0;
}

}  // namespace

int Mux(const MuxOptions& o, FILE* out, std::string& error) {
    std::vector<uint8_t> video;
    if (!ReadFile(o.video, video, error)) return 1;
    const std::vector<AccessUnit> units = SplitAccessUnits(video.data(), video.size());
    const std::vector<int> nals = NalTypes(video.data(), video.size());
    if (units.empty() || std::none_of(nals.begin(), nals.end(), [](int t) { return t == 1 || t == 5; })) {
        error = o.video + " holds no H.264 Annex-B pictures";
        return 1;
    }
    uint32_t width = 640, height = 480;
    PictureSize(video.data(), video.size(), width, height);

    std::vector<uint8_t> audio;
    if (!o.audio.empty()) {
        PcmAudio pcm;
        if (!ReadWav(o.audio, pcm, error)) return 1;
        if (pcm.sampleRate != 8000 || pcm.channels != 1) {
            error = o.audio + " must be 8000 Hz mono (it is " + std::to_string(pcm.sampleRate) + " Hz, " +
                    std::to_string(pcm.channels) + " channels)";
            return 1;
        }
        if (!EncodeAudio(pcm, audio, error)) return 1;
    }
    std::vector<std::vector<uint8_t>> records;
    if (!o.text.empty()) {
        std::vector<uint8_t> text;
        if (!ReadFile(o.text, text, error)) return 1;
        records = SplitLines(text);
    }

    const uint64_t bitrate = video.size() * 8 * kPicturesPerSecond / units.size();
    const int64_t now = o.date >= 0 ? o.date
                                    : std::chrono::duration_cast<std::chrono::seconds>(
                                          std::chrono::system_clock::now().time_since_epoch())
                                          .count();
    auto setup = std::make_unique<AsfRecorderSetup>();
    MakeRecorderMuxInit(*setup, o.output.c_str(), width, height, static_cast<uint32_t>(std::min<uint64_t>(bitrate, UINT32_MAX)),
                        kPicturesPerSecond, AsfCreationDate(now, 0));
    std::unique_ptr<ASF_MUX_CONTEXT, MuxCloser> mux(ASF_Mux_Create(&setup->init));
    if (!mux) {
        error = "cannot create " + o.output;
        return 1;
    }

    const uint32_t durationMs = static_cast<uint32_t>(units.size() * 1000 / kPicturesPerSecond);
    size_t nextRecord = 0, audioPos = 0;
    uint32_t apts = 0;
    int audioCycle = 0;
    uint64_t refused = 0;
    auto write = [&](int type, const uint8_t* data, size_t len, bool key, uint32_t pts) {
        ASF_MUX_DATA_INFO info{static_cast<uint8_t>(key ? 1 : 0), pts};
        if (ASF_Mux_WriteData(mux.get(), type, data, static_cast<uint32_t>(len), &info) != 0) ++refused;
    };
    auto recordTime = [&](size_t k) {
        return static_cast<uint32_t>(uint64_t{k} * durationMs / std::max<size_t>(records.size(), 1));
    };
    auto writeRecordsUpTo = [&](uint64_t t) {
        for (; nextRecord < records.size() && recordTime(nextRecord) <= t; ++nextRecord)
            write(ASF_MUX_DATA_TYPE_BINARY, records[nextRecord].data(), records[nextRecord].size(), true,
                  recordTime(nextRecord));
    };
    auto writeAudioBefore = [&](uint64_t t) {
        while (audioPos < audio.size() && apts < t) {
            const size_t len = std::min<size_t>(kAudioPacketSizes[audioCycle], audio.size() - audioPos);
            write(ASF_MUX_DATA_TYPE_AUDIO, audio.data() + audioPos, len, true, apts);
            audioPos += len;
            apts += kAudioPacketSizes[audioCycle] / 4;  // 4 bytes per ms at 32 kbit/s
            audioCycle = (audioCycle + 1) % 3;
        }
    };

    std::vector<uint8_t> scrambled;
    uint64_t keys = 0;
    for (size_t i = 0; i < units.size(); ++i) {
        const uint32_t vpts = static_cast<uint32_t>(uint64_t{i} * 1000 / kPicturesPerSecond);
        writeRecordsUpTo(vpts);
        writeAudioBefore(vpts);
        const AccessUnit& u = units[i];
        const uint8_t* picture = video.data() + u.offset;
        if (u.key) ++keys;
        if (u.key && o.scramble) {
            scrambled.resize(u.size);
            CryptData(picture, scrambled.data(), static_cast<uint32_t>(u.size), o.pass.data());
            picture = scrambled.data();
        }
        write(ASF_MUX_DATA_TYPE_VIDEO, picture, u.size, u.key, vpts);
    }
    // What is left after the last picture, in time order.
    while (nextRecord < records.size() || audioPos < audio.size()) {
        const uint64_t recordAt = nextRecord < records.size() ? recordTime(nextRecord) : UINT64_MAX;
        if (audioPos < audio.size() && apts < recordAt) {
            writeAudioBefore(apts + 1);
        } else {
            writeRecordsUpTo(recordAt);
        }
    }
    mux.reset();
    if (refused) {
        error = std::to_string(refused) + " objects were refused by the writer";
        return 1;
    }
    std::fprintf(out, "%s: %zu pictures (%llu key%s), %zu audio bytes, %zu text records, %ux%u, %.3f s\n",
                 o.output.c_str(), units.size(), static_cast<unsigned long long>(keys),
                 o.scramble ? ", scrambled" : "", audio.size(), records.size(), width, height, durationMs / 1000.0);
    return 0;
}

}  // namespace media

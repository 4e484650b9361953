#include "WavFile.h"

#include <cstdio>
#include <cstring>
#include <memory>

namespace media {
namespace {

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

uint32_t Le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t{p[3]} << 24; }
uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
void Put32(std::vector<uint8_t>& v, uint32_t x) {
    for (int i = 0; i < 4; ++i) v.push_back(static_cast<uint8_t>(x >> (8 * i)));
}
void Put16(std::vector<uint8_t>& v, uint16_t x) {
    v.push_back(static_cast<uint8_t>(x));
    v.push_back(static_cast<uint8_t>(x >> 8));
}

}  // namespace

bool ReadFile(const std::string& path, std::vector<uint8_t>& out, std::string& error) {
    File f(std::fopen(path.c_str(), "rb"));
    if (!f) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    out.clear();
    uint8_t chunk[65536];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f.get())) > 0) out.insert(out.end(), chunk, chunk + n);
    if (std::ferror(f.get())) {
        error = "cannot read " + path;
        return false;
    }
    return true;
}

bool WriteFile(const std::string& path, const uint8_t* data, size_t size, std::string& error) {
    File f(std::fopen(path.c_str(), "wb"));
    if (!f) {
        error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    if (size && std::fwrite(data, 1, size, f.get()) != size) {
        error = "cannot write " + path;
        return false;
    }
    if (std::fclose(f.release()) != 0) {
        error = "cannot write " + path;
        return false;
    }
    return true;
}

bool ReadWav(const std::string& path, PcmAudio& out, std::string& error) {
    std::vector<uint8_t> d;
    if (!ReadFile(path, d, error)) return false;
    if (d.size() < 12 || std::memcmp(d.data(), "RIFF", 4) != 0 || std::memcmp(d.data() + 8, "WAVE", 4) != 0) {
        error = path + " is not a WAV file";
        return false;
    }
    bool haveFormat = false;
    size_t pos = 12;
    while (pos + 8 <= d.size()) {
        const uint8_t* id = d.data() + pos;
        uint64_t len = Le32(d.data() + pos + 4);
        pos += 8;
        const uint64_t avail = d.size() - pos;
        if (std::memcmp(id, "fmt ", 4) == 0) {
            if (len < 16 || len > avail) break;
            const uint8_t* f = d.data() + pos;
            const uint16_t tag = Le16(f), bits = Le16(f + 14);
            out.channels = Le16(f + 2);
            out.sampleRate = Le32(f + 4);
            // 0xFFFE (extensible) carries the PCM sub-format in its extension.
            const bool pcm = tag == 1 || (tag == 0xFFFE && len >= 26 && Le16(f + 24) == 1);
            if (!pcm || bits != 16 || out.channels == 0) {
                error = path + " is not 16-bit PCM";
                return false;
            }
            haveFormat = true;
        } else if (std::memcmp(id, "data", 4) == 0) {
            if (!haveFormat) break;
            if (len > avail) len = avail;  // a recording cut short: keep what is there
            out.samples.resize(len / 2);
            for (size_t i = 0; i < out.samples.size(); ++i)
                out.samples[i] = static_cast<int16_t>(Le16(d.data() + pos + 2 * i));
            return true;
        }
        if (len > avail) break;
        pos += len + (len & 1);
    }
    error = path + " has no usable format and data chunks";
    return false;
}

bool WriteWav(const std::string& path, const PcmAudio& audio, std::string& error) {
    std::vector<uint8_t> v;
    const uint32_t dataBytes = static_cast<uint32_t>(audio.samples.size() * 2);
    v.insert(v.end(), {'R', 'I', 'F', 'F'});
    Put32(v, 36 + dataBytes);
    v.insert(v.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    Put32(v, 16);
    Put16(v, 1);
    Put16(v, audio.channels);
    Put32(v, audio.sampleRate);
    Put32(v, audio.sampleRate * audio.channels * 2);
    Put16(v, static_cast<uint16_t>(audio.channels * 2));
    Put16(v, 16);
    v.insert(v.end(), {'d', 'a', 't', 'a'});
    Put32(v, dataBytes);
    for (int16_t s : audio.samples) Put16(v, static_cast<uint16_t>(s));
    return WriteFile(path, v.data(), v.size(), error);
}

}  // namespace media

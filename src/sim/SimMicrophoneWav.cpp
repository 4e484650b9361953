#include "sim/SimMicrophoneWav.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>

namespace diviv::sim {

namespace {

constexpr int kMicrophoneRate = 8000;
constexpr size_t kMaxWavBytes = size_t{256} << 20;  // a scenario's sound, not a film
constexpr uint16_t kFormatPcm = 1, kFormatExtensible = 0xFFFE;

uint32_t Le32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24); }
uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

void PutLe32(std::string& s, uint32_t v) {
    for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
void PutLe16(std::string& s, uint16_t v) {
    s.push_back(static_cast<char>(v & 0xFF));
    s.push_back(static_cast<char>(v >> 8));
}

struct WavFormat {
    uint16_t channels = 0;
    uint32_t rate = 0;
    uint16_t bits = 0;
};

bool Fail(std::string* error, const std::string& why) {
    if (error != nullptr) *error = why;
    return false;
}

// Mono samples at the file's rate.
std::vector<int16_t> Mixed(const uint8_t* data, size_t bytes, const WavFormat& f) {
    const size_t frame = static_cast<size_t>(f.channels) * (f.bits / 8);
    const size_t frames = bytes / frame;
    std::vector<int16_t> mono(frames);
    for (size_t i = 0; i < frames; ++i) {
        const uint8_t* p = data + i * frame;
        int32_t sum = 0;
        for (int c = 0; c < f.channels; ++c) {
            sum += f.bits == 8 ? (static_cast<int32_t>(p[c]) - 128) * 256 : static_cast<int16_t>(Le16(p + 2 * c));
        }
        mono[i] = static_cast<int16_t>(sum / f.channels);
    }
    return mono;
}

std::vector<int16_t> Resampled(const std::vector<int16_t>& in, uint32_t rate) {
    if (rate == kMicrophoneRate || in.empty()) return in;
    const double step = static_cast<double>(rate) / kMicrophoneRate;
    const size_t n = static_cast<size_t>(std::floor(static_cast<double>(in.size() - 1) / step)) + 1;
    std::vector<int16_t> out(n);
    for (size_t i = 0; i < n; ++i) {
        const double pos = static_cast<double>(i) * step;
        const size_t k = static_cast<size_t>(pos);
        const double frac = pos - static_cast<double>(k);
        const double next = k + 1 < in.size() ? in[k + 1] : in[k];
        out[i] = static_cast<int16_t>(std::lround(in[k] + (next - in[k]) * frac));
    }
    return out;
}

}  // namespace

bool ReadMicrophoneWav(const std::string& path, std::vector<int16_t>* samples, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return Fail(error, "cannot open " + path);
    std::vector<uint8_t> file;
    file.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (file.size() > kMaxWavBytes) return Fail(error, path + " is too large");
    if (file.size() < 12 || std::memcmp(file.data(), "RIFF", 4) != 0 || std::memcmp(file.data() + 8, "WAVE", 4) != 0)
        return Fail(error, path + " is no RIFF/WAVE file");

    WavFormat fmt;
    const uint8_t* data = nullptr;
    size_t data_bytes = 0;
    size_t pos = 12;
    while (pos + 8 <= file.size()) {
        const uint8_t* chunk = file.data() + pos;
        const size_t size = Le32(chunk + 4);
        const size_t body = pos + 8;
        // A chunk claiming more than the file holds is cut to what is there
        // (a recorder stopped before it patched the sizes).
        const size_t have = std::min(size, file.size() - body);
        if (std::memcmp(chunk, "fmt ", 4) == 0) {
            if (have < 16) return Fail(error, path + ": short format chunk");
            const uint8_t* f = file.data() + body;
            uint16_t format = Le16(f);
            if (format == kFormatExtensible && have >= 26) format = Le16(f + 24);  // the sub-format's first word
            if (format != kFormatPcm) return Fail(error, path + ": not linear PCM");
            fmt.channels = Le16(f + 2);
            fmt.rate = Le32(f + 4);
            fmt.bits = Le16(f + 14);
        } else if (std::memcmp(chunk, "data", 4) == 0 && data == nullptr) {
            data = file.data() + body;
            data_bytes = have;
        }
        if (size > file.size() - body) break;
        pos = body + size + (size & 1);  // chunks are padded to an even length
    }
    if (fmt.channels == 0 || fmt.rate == 0) return Fail(error, path + ": no usable format chunk");
    if (fmt.bits != 8 && fmt.bits != 16) return Fail(error, path + ": only 8-bit and 16-bit samples are read");
    if (fmt.rate < 1000 || fmt.rate > 384000) return Fail(error, path + ": unusual sample rate");
    if (data == nullptr) return Fail(error, path + ": no data chunk");
    *samples = Resampled(Mixed(data, data_bytes, fmt), fmt.rate);
    if (samples->empty()) return Fail(error, path + ": no samples");
    return true;
}

bool WriteMicrophoneWav(const std::string& path, const std::vector<int16_t>& samples, int rate) {
    const uint32_t bytes = static_cast<uint32_t>(samples.size() * 2);
    std::string out;
    out.reserve(44 + bytes);
    out += "RIFF";
    PutLe32(out, 36 + bytes);
    out += "WAVEfmt ";
    PutLe32(out, 16);
    PutLe16(out, kFormatPcm);
    PutLe16(out, 1);
    PutLe32(out, static_cast<uint32_t>(rate));
    PutLe32(out, static_cast<uint32_t>(rate) * 2);
    PutLe16(out, 2);
    PutLe16(out, 16);
    out += "data";
    PutLe32(out, bytes);
    for (int16_t s : samples) PutLe16(out, static_cast<uint16_t>(s));
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(out.data(), static_cast<std::streamsize>(out.size()));
    return static_cast<bool>(f);
}

}  // namespace diviv::sim

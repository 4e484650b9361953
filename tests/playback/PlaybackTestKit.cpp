#include "PlaybackTestKit.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <thread>

#include "MediaCommands.h"
#include "WavFile.h"
#include "core/WorkerHandshake.h"
#include "formats/g726enc.h"
#include "platform/X264Encoder.h"
#include "playback/AsfDemuxThread.h"
#include "playback/AudioDecoderThread.h"
#include "playback/AudioOutputThread.h"
#include "playback/PlaybackManagerThread.h"
#include "playback/VideoDecoderThread.h"
#include "sim/CameraScene.h"
#include "sim/FrameBand.h"

namespace playtest {

namespace {

std::vector<int16_t> ToneWithClicks(int samples) {
    std::vector<int16_t> s(static_cast<size_t>(samples));
    for (int i = 0; i < samples; ++i) {
        const bool click = i % 8000 < 80;  // 10 ms at each whole second
        const double a = click ? 20000 : 3000;
        const double f = click ? 1000 : 440;
        s[static_cast<size_t>(i)] = static_cast<int16_t>(a * std::sin(2 * M_PI * f * i / 8000.0));
    }
    return s;
}

}  // namespace

Recording MakeRecording(const std::string& root, const std::string& name, const RecordingSpec& spec) {
    Recording r;
    r.name = name;
    const std::string dir = root + "/mnt/mmc0_p1/DATA/" + name.substr(4, 2);
    std::filesystem::create_directories(dir);
    r.path = dir + "/" + name;

    diviv::X264Encoder enc;
    diviv::VideoEncoderParams p;
    p.width = spec.width;
    p.height = spec.height;
    p.bit_rate_kbps = spec.bit_rate_kbps;
    p.gop = spec.gop;
    if (enc.Open(p) != 0) return r;
    std::span<const uint8_t> sps, pps;
    enc.PutHeader(diviv::HeaderType::kSps, &sps);
    std::vector<uint8_t> headers(sps.begin(), sps.end());
    enc.PutHeader(diviv::HeaderType::kPps, &pps);
    headers.insert(headers.end(), pps.begin(), pps.end());
    diviv::sim::CameraScene scene;
    std::vector<uint8_t> yuv(static_cast<size_t>(spec.width) * spec.height * 3 / 2);
    for (int k = 0; k < spec.pictures; ++k) {
        const diviv::sim::YuvPlanes planes = diviv::sim::I420Planes(yuv.data(), spec.width, spec.height);
        scene.Draw(planes, 1, static_cast<uint64_t>(k));
        diviv::sim::DrawFrameBand(planes, static_cast<uint32_t>(k), k % 30 == 0);
        diviv::EncodedPicture out;
        const bool key = k % spec.gop == 0;
        enc.Encode(yuv, key, &out);
        if (key) r.stream.insert(r.stream.end(), headers.begin(), headers.end());
        r.stream.insert(r.stream.end(), out.bytes.begin(), out.bytes.end());
        r.picture_ends.push_back(r.stream.size());
    }
    enc.Close();

    const std::string work = root + "/rec-work";
    std::filesystem::create_directories(work);
    std::string error;
    media::WriteFile(work + "/video.h264", r.stream.data(), r.stream.size(), error);
    media::MuxOptions o;
    o.video = work + "/video.h264";
    o.output = r.path;
    o.scramble = spec.scramble;
    o.pass = spec.pass;
    o.date = 1700000000;
    if (spec.sound) {
        r.sound = ToneWithClicks(spec.pictures * 8000 / 30);
        media::PcmAudio pcm;
        pcm.sampleRate = 8000;
        pcm.channels = 1;
        pcm.samples = r.sound;
        media::WriteWav(work + "/sound.wav", pcm, error);
        o.audio = work + "/sound.wav";
        // The same code words the tool writes: the project's encoder at 4 bits.
        alignas(16) unsigned char mem[128];
        G726Encoder* g = g726_enc_create(4, mem);
        r.codes.resize(r.sound.size() / 2 + 1);
        const int n = g726_encode(g, r.sound.data(), static_cast<int>(r.sound.size()), r.codes.data());
        r.codes.resize(n < 0 ? 0 : static_cast<size_t>(n));
        g726_enc_close(g);
    }
    FILE* devnull = std::fopen("/dev/null", "w");
    if (media::Mux(o, devnull, error) != 0) std::fprintf(stderr, "mux: %s\n", error.c_str());
    std::fclose(devnull);
    return r;
}

int CountLines(const std::string& text, const std::string& line) {
    std::istringstream in(text);
    std::string l;
    int n = 0;
    while (std::getline(in, l)) n += l == line ? 1 : 0;
    return n;
}

}  // namespace playtest

namespace {

bool WaitFor(const std::function<bool()>& done, int timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace

void PlaybackTest::SetUp() {
    SimBoardTest::SetUp();
    record_ = NewDrCommon();
    ASSERT_EQ(CreateSharedRingBuffers(record_.get()), 0);
    config_ = NewCodecConfig();
    dr()->pCodecCfg = config_.get();
    dr()->asfinfo = &info_;
    dr()->sdinfo = &sd_;
    std::snprintf(sd_.path_name, sizeof sd_.path_name, "/mnt/mmc0_p1");
    dr()->PWR_DET_State = 1;
}

void PlaybackTest::TearDown() {
    if (record_) FreeSharedRingBuffers(record_.get());
    record_.reset();
    SimBoardTest::TearDown();
}

void PlaybackTest::StartDemuxOnly(const std::string& name) {
    std::snprintf(dr()->playback_asf_name, sizeof dr()->playback_asf_name, "%s", name.c_str());
    testing::internal::CaptureStdout();
    diviv::StartWorker(dr(), dr()->AD_ALIVE, dr()->REQ_AD_CLOSE, AsfDemuxThread);
}

void PlaybackTest::Start(const std::string& name, bool preview) {
    dr_common_t* d = dr();
    std::snprintf(d->playback_asf_name, sizeof d->playback_asf_name, "%s", name.c_str());
    d->DispSize = preview ? 1 : 0;
    d->APP_MODE = preview ? APP_MODE_PREVIEW : APP_MODE_PLAYBACK;
    d->VideoOnlyMode = 0;
    d->REQ_CLOSE = 0;
    d->DecodeStart = 0;
    d->DecodeInfoReady = 0;
    d->PlaybackStart = 0;
    d->MediaInfoReady = 0;
    for (DrRingBuffer* rb : {&d->rv_buf, &d->vbs_buf, &d->pts_buf, &d->abs_buf, &d->ra_buf}) DR_FlushRingBuffer(rb);
    testing::internal::CaptureStdout();
    diviv::StartWorker(d, d->PM_ALIVE, d->REQ_PM_CLOSE, PlaybackManagerThread);
    diviv::StartWorker(d, d->AD_ALIVE, d->REQ_AD_CLOSE, AsfDemuxThread);
    diviv::StartWorker(d, d->VD_ALIVE, d->REQ_VD_CLOSE, VideoDecoderThread);
    diviv::StartWorker(d, d->ADC_ALIVE, d->REQ_ADC_CLOSE, AudioDecoderThread);
    diviv::StartWorker(d, d->AO_ALIVE, d->REQ_AO_CLOSE, AudioOutputThread);
}

bool PlaybackTest::WaitForModeEnd(int timeout_ms) {
    return WaitFor([this] { return dr()->REQ_CLOSE.load() != 0; }, timeout_ms);
}

std::string PlaybackTest::Stop(bool* all_ended) {
    dr_common_t* d = dr();
    bool ok = true;
    const std::pair<dr_flag*, dr_flag*> order[] = {{&d->REQ_AD_CLOSE, &d->AD_ALIVE},
                                                   {&d->REQ_VD_CLOSE, &d->VD_ALIVE},
                                                   {&d->REQ_ADC_CLOSE, &d->ADC_ALIVE},
                                                   {&d->REQ_AO_CLOSE, &d->AO_ALIVE},
                                                   {&d->REQ_PM_CLOSE, &d->PM_ALIVE}};
    for (const auto& [request, alive] : order) {
        *request = 1;
        ok = WaitFor([alive] { return alive->load() == 0; }, 10000) && ok;
    }
    // The threads print their last line right after clearing their flags.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::fflush(stdout);
    if (all_ended != nullptr) *all_ended = ok;
    return testing::internal::GetCapturedStdout();
}

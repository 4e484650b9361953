// The video capture's cost per 640 x 480 picture, in two parts measured
// apart: the thread's own work (dequeue and give back the camera buffer,
// frame numbering, the copy into the encoder's source frame, the captions,
// ProcessVBS with its ring-buffer writes) and the encoder's (x264 at the H
// preset: 2048 kbit/s, 30 pictures per second, GOP 30). Each prints
// core_pct_at_30fps: the share of one core it takes at 30 pictures per
// second, from the measuring thread's own CPU time; a summary follows.
//
// The camera here is a device that has a filled buffer ready at every
// dequeue (as the board's driver has after its DMA): what is measured is the
// thread, not the simulated camera drawing its scene.
#include <benchmark/benchmark.h>
#include <linux/videodev2.h>
#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "core/DR_shared.h"
#include "platform/Board.h"
#include "platform/VideoEncoder.h"
#include "recording/CaptureFrameClock.h"
#include "recording/RecordingCaptions.h"
#include "recording/V4l2Capture.h"
#include "recording/VideoStreamOutput.h"
#include "sim/CameraScene.h"
#include "sim/FrameBand.h"
#include "sim/SimulatedBoard.h"

namespace {

constexpr int kW = 640, kH = 480, kFps = 30, kKbps = 2048, kGop = 30;
constexpr size_t kFrameBytes = kW * kH * 3 / 2;
constexpr int kScenePictures = 60;

double ThreadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// The simulated camera's moving scene with its frame band, drawn once.
const std::vector<std::vector<uint8_t>>& ScenePictures() {
    static const auto pictures = [] {
        std::vector<std::vector<uint8_t>> pics(kScenePictures, std::vector<uint8_t>(kFrameBytes));
        diviv::sim::CameraScene scene;
        for (int i = 0; i < kScenePictures; ++i) {
            const auto planes = diviv::sim::I420Planes(pics[static_cast<size_t>(i)].data(), kW, kH);
            scene.Draw(planes, 1, static_cast<uint64_t>(i));
            diviv::sim::DrawFrameBand(planes, static_cast<uint32_t>(i), i % 30 == 0);
        }
        return pics;
    }();
    return pictures;
}

// A capture device whose every dequeue finds a filled buffer, stamped one
// camera frame after the previous one.
class ReadyCamera final : public diviv::Device {
public:
    ReadyCamera() : Device(diviv::vce::kCaptureDevice) {}

private:
    int DoIoctl(unsigned long request, void* arg) override {
        switch (request) {
            case VIDIOC_QUERYCAP:
                static_cast<v4l2_capability*>(arg)->capabilities = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
                return 0;
            case VIDIOC_S_FMT: {
                auto* f = static_cast<v4l2_format*>(arg);
                if (f->type == V4L2_BUF_TYPE_VIDEO_CAPTURE) f->fmt.pix.sizeimage = kFrameBytes;
                return 0;
            }
            case VIDIOC_REQBUFS: {
                auto* r = static_cast<v4l2_requestbuffers*>(arg);
                buffers_.assign(r->count, std::vector<uint8_t>(kFrameBytes));
                for (size_t i = 0; i < buffers_.size(); ++i) buffers_[i] = ScenePictures()[i % kScenePictures];
                return 0;
            }
            case VIDIOC_QUERYBUF: {
                auto* b = static_cast<v4l2_buffer*>(arg);
                b->length = kFrameBytes;
                b->m.offset = b->index * kFrameBytes;
                return 0;
            }
            case VIDIOC_QBUF:
                queued_.push_back(static_cast<v4l2_buffer*>(arg)->index);
                return 0;
            case VIDIOC_DQBUF: {
                if (queued_.empty()) return -EAGAIN;
                auto* b = static_cast<v4l2_buffer*>(arg);
                b->index = queued_.front();
                queued_.pop_front();
                b->sequence = static_cast<uint32_t>(sequence_);
                const int64_t us = sequence_ * 1000000 / kFps;
                b->timestamp.tv_sec = static_cast<time_t>(1700000000 + us / 1000000);
                b->timestamp.tv_usec = static_cast<suseconds_t>(us % 1000000);
                ++sequence_;
                return 0;
            }
            case VIDIOC_CROPCAP:
                return -EINVAL;
            default:
                return 0;
        }
    }
    ssize_t DoRead(std::span<std::byte>) override { return -EINVAL; }
    ssize_t DoWrite(std::span<const std::byte>) override { return -EINVAL; }
    int DoPoll(short events, int) override { return events; }
    diviv::MappedMemory DoMap(size_t length, off_t offset, int*) override {
        const size_t i = static_cast<size_t>(offset) / kFrameBytes;
        return diviv::MappedMemory(buffers_[i].data(), length, [](void*, size_t) { return 0; });
    }

    std::vector<std::vector<uint8_t>> buffers_;
    std::deque<uint32_t> queued_;
    int64_t sequence_ = 0;
};

// The simulated board with the ready camera, installed for one benchmark.
class BenchBoard {
public:
    BenchBoard() {
        auto board = std::make_unique<diviv::sim::SimulatedBoard>();
        board->Devices().Register(diviv::vce::kCaptureDevice, [](const std::string&, int, int* error) {
            *error = 0;
            return std::unique_ptr<diviv::Device>(std::make_unique<ReadyCamera>());
        });
        previous_ = diviv::InstallBoard(std::move(board));
    }
    ~BenchBoard() { diviv::InstallBoard(std::move(previous_)); }

private:
    std::unique_ptr<diviv::Board> previous_;
};

// The thread's per-picture work, as its loop does it, without the encoder:
// the coded picture is a stand-in of the size the bit rate gives. Only the
// part between the two clock readings is counted.
void BM_CaptureThreadOwnWork(benchmark::State& state) {
    BenchBoard board;
    auto dr = NewDrCommon();
    if (CreateSharedRingBuffers(dr.get()) != 0) {
        state.SkipWithError("ring buffers");
        return;
    }
    dr->PWR_DET_State = 1;
    dr->CAM_MODE = 1;

    std::fflush(stdout);
    diviv::vce::V4l2Capture capture(dr.get(), diviv::vce::CaptureSettings{});
    if (capture.Open() < 0 || capture.Init() < 0 || capture.StartCapturing() < 0) {
        state.SkipWithError("capture start-up");
        return;
    }
    diviv::vce::RecordingCaptions captions(kW, kH, dr->CAM_MODE);
    diviv::vce::VideoStreamOutput out(dr.get());
    diviv::vce::CaptureFrameClock clock;
    std::vector<uint8_t> source(kFrameBytes);
    const std::vector<uint8_t> coded(kKbps * 1000 / 8 / kFps, 0x5A);  // one P picture at the bit rate
    std::vector<uint8_t> drain(1 << 20);
    // The camera's buffers come from DMA, not from this core's caches: each
    // picture starts with the caches filled by something else.
    std::vector<uint8_t> evict(32 << 20);

    int64_t k = 0;
    double cpu = 0;
    for (auto _ : state) {
        for (size_t i = 0; i < evict.size(); i += 64) evict[i] = static_cast<uint8_t>(evict[i] + 1);
        benchmark::ClobberMemory();
        const double t0 = ThreadCpuSeconds();
        v4l2_buffer buf{};
        capture.Dequeue(&buf);
        const dr_timeval stamp{static_cast<int32_t>(buf.timestamp.tv_sec), static_cast<int32_t>(buf.timestamp.tv_usec)};
        const auto f = diviv::vce::CalcCapFrameNumAndRate(clock, stamp, kFps);
        std::memcpy(source.data(), capture.Data(buf.index), kFrameBytes);
        capture.Requeue(buf);
        diviv::vce::CountFrame(clock, true);
        out.nFrameTime = static_cast<uint32_t>(f.number);
        out.frame_time = stamp;
        captions.Set_OSDInfo(source.data(), *dr, stamp.tv_sec);
        diviv::vce::ProcessVBS(out, coded.data(), static_cast<int>(coded.size()),
                               k % kGop == 0 ? kPicTypeI : kPicTypeP);
        benchmark::DoNotOptimize(source.data());
        cpu += ThreadCpuSeconds() - t0;
        ++k;
        // The writer's side, not measured: take what was handed over.
        if (DR_GetRingBufferWriteAvailable(&dr->vinfo_buf) < 1024 ||
            DR_GetRingBufferWriteAvailable(&dr->vbs_buf) < (1 << 20)) {
            DR_ReadRingBuffer(&dr->vinfo_buf, drain.data(), DR_GetRingBufferReadAvailable(&dr->vinfo_buf));
            while (DR_ReadRingBuffer(&dr->vbs_buf, drain.data(), static_cast<int>(drain.size())) > 0) {
            }
        }
    }
    capture.Close();
    FreeSharedRingBuffers(dr.get());
    if (k > 0) state.counters["core_pct_at_30fps"] = cpu / static_cast<double>(k) * kFps * 100;
}
BENCHMARK(BM_CaptureThreadOwnWork)->Unit(benchmark::kMicrosecond)->MinTime(2);

// The encoder's part: the camera's moving scene through the board's encoder,
// an I picture forced every GOP, with the stream headers the thread asks for.
void BM_CaptureEncoder(benchmark::State& state) {
    BenchBoard board;
    auto enc = diviv::TheBoard().OpenVideoEncoder();
    diviv::VideoEncoderParams p;
    p.width = kW;
    p.height = kH;
    p.frame_rate = kFps;
    p.bit_rate_kbps = kKbps;
    p.gop = kGop;
    if (!enc || enc->Open(p) != 0) {
        state.SkipWithError("encoder did not open");
        return;
    }
    const auto& pictures = ScenePictures();
    int64_t k = 0, bytes = 0;
    double cpu = 0;
    for (auto _ : state) {
        const double t0 = ThreadCpuSeconds();
        const bool force_i = k % kGop == 0;
        if (force_i) {
            std::span<const uint8_t> header;
            enc->PutHeader(diviv::HeaderType::kSps, &header);
            enc->PutHeader(diviv::HeaderType::kPps, &header);
        }
        diviv::EncodedPicture out;
        enc->Encode(pictures[static_cast<size_t>(k % kScenePictures)], force_i, &out);
        cpu += ThreadCpuSeconds() - t0;
        bytes += static_cast<int64_t>(out.bytes.size());
        ++k;
    }
    enc->Close();
    if (k == 0) return;
    state.counters["core_pct_at_30fps"] = cpu / static_cast<double>(k) * kFps * 100;
    state.counters["kbit_per_s"] = static_cast<double>(bytes) * 8 * kFps / static_cast<double>(k) / 1000;
}
BENCHMARK(BM_CaptureEncoder)->Unit(benchmark::kMillisecond)->MinTime(3);

// Prints the table as usual and keeps each benchmark's share of a core.
class ShareReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs) {
            auto it = r.counters.find("core_pct_at_30fps");
            if (it != r.counters.end()) shares[r.benchmark_name()] = it->second.value;
        }
    }
    std::map<std::string, double> shares;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    ShareReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    std::printf("\nShare of one core at 30 pictures per second, 640 x 480:\n");
    for (const auto& [name, pct] : reporter.shares) {
        const char* what = name.find("OwnWork") != std::string::npos ? "capture thread's own work" : "H.264 encoder (H preset)";
        std::printf("  %-28s %6.2f %%   (%s)\n", what, pct, name.c_str());
    }
    return 0;
}

#include "sensors/GssReceiveThread.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdio>

#include "core/DR_common.h"
#include "platform/Board.h"
#include "platform/BoardPath.h"

static_assert(sizeof(gsensor_buffer) == kGsensorRecordSize);

namespace {

constexpr uint32_t kPollUs = 30000;  // pause between passes, and after "no new sample"

// The local ring: filled from the driver, forwarded to gsens_buf. Empty when
// in == out, full when in + 1 == out (modulo the slots). It belongs to the
// one receiver thread that runs; its indices outlive the thread and the next
// thread empties it at its start.
gsensor_buffer gss_localbuff[kGssLocalRingSlots];
int gss_localbuff_in = 0;   // next slot to fill
int gss_localbuff_out = 0;  // next slot to forward

int NextSlot(int i) { return (i + 1) % kGssLocalRingSlots; }
bool LocalRingFull() { return NextSlot(gss_localbuff_in) == gss_localbuff_out; }

// The full-buffer line is printed once in the process's life.
std::atomic<bool> g_full_reported{false};

// Where the mounting position puts the vehicle's axes on the sensor.
enum Axis : int { kX = 0, kY = 1, kZ = 2 };
struct Mounting {
    Axis longitudinal;     // braking and acceleration
    bool brake_positive;   // braking shows in the + direction of that axis
    Axis lateral;          // steering, both directions
};
// Rows for positions 1-4, 9-12 and 17-20; position p + 4 mounts like p.
constexpr std::array<Mounting, 12> kMountings{{
    {kX, false, kY}, {kX, true, kY}, {kY, true, kX}, {kY, false, kX},  // 1-4, 5-8
    {kX, false, kZ}, {kX, true, kZ}, {kZ, true, kX}, {kZ, false, kX},  // 9-12, 13-16
    {kZ, true, kY},  {kZ, false, kY}, {kY, true, kZ}, {kY, false, kZ}, // 17-20, 21-24
}};

bool Older(const dr_timeval& a, const dr_timeval& b) {
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_usec < b.tv_usec);
}

void WriteOffsets(const dr_common_t* dr) {
    FILE* f = std::fopen(BoardPath(kGsensorOffsetFile).c_str(), "w");
    if (f == nullptr) return;
    std::fprintf(f, "%02x %02x %02x", static_cast<uint8_t>(SharedSetting(dr->gss_offset_x)),
                 static_cast<uint8_t>(SharedSetting(dr->gss_offset_y)), static_cast<uint8_t>(SharedSetting(dr->gss_offset_z)));
    std::fclose(f);
}

enum class ReadResult {
    kSample,  // a real sample was stored
    kNone,    // the driver had no new sample
    kFailed,  // the read request failed
};

class GssReceiver {
public:
    explicit GssReceiver(dr_common_t* dr) : dr_(dr) {}

    void Run();

private:
    ReadResult ReadSample(gsensor_buffer* slot, const char* overrun_line);
    // Keeps the newest sample in slot 0 until capture starts.
    enum class PreReadEnd { kCaptureStarted, kClosed, kFailed };
    PreReadEnd PreRead();
    // Reads into the local ring and forwards it, every 30 ms, until the
    // close request. False when a read failed.
    bool Capture();
    void Disable();

    dr_common_t* dr_;
    std::unique_ptr<diviv::Device> dev_;
};

ReadResult GssReceiver::ReadSample(gsensor_buffer* slot, const char* overrun_line) {
    gsensor_buffer sample{};
    if (dev_->Ioctl(kGsensorRead, &sample) < 0) return ReadResult::kFailed;
    if ((sample.flag & kGsensorNoData) != 0) return ReadResult::kNone;
    *slot = sample;
    dr_->GSensorDataValid = 1;
    dr_->GSensorError = 0;
    if ((sample.flag & kGsensorOverrun) != 0) std::printf("%s\n", overrun_line);
    return ReadResult::kSample;
}

void GssReceiver::Disable() {
    dr_->gsens_enable = 0;
    dr_->GSensorDataValid = 0;
    dr_->GSensorError = 1;
}

GssReceiver::PreReadEnd GssReceiver::PreRead() {
    // A recording stopped before its capture ever started must still end
    // this thread, so the close request is honoured here too.
    while (dr_->CaptureStart.load() != 1) {
        if (dr_->REQ_GSS_CLOSE.load() != 0) return PreReadEnd::kClosed;
        switch (ReadSample(&gss_localbuff[0], "GSS: Buffer overrun detected in Pre Read !")) {
            case ReadResult::kSample:
                gss_localbuff_in = 1;  // slot 0 holds the newest sample; read on at once
                break;
            case ReadResult::kNone:
                dr_usleep(kPollUs);
                break;
            case ReadResult::kFailed:
                return PreReadEnd::kFailed;
        }
    }
    return PreReadEnd::kCaptureStarted;
}

bool GssReceiver::Capture() {
    // RecStartTime is the first captured frame's time, set before
    // CaptureStart; a sample from before it is not part of the recording.
    // That is the pre-read one in slot 0, and those the driver took between
    // the last pre-read and the start. Only leading samples are judged: once
    // one is kept, a later step of the wall clock loses nothing.
    const dr_timeval start = dr_->RecStartTime;
    bool leading = true;
    if (gss_localbuff_in == 1) {
        if (Older(gss_localbuff[0].timestamp, start)) {
            gss_localbuff_in = 0;
        } else {
            leading = false;
        }
    }

    while (dr_->REQ_GSS_CLOSE.load() == 0) {
        for (int n = 0; n < kGssReadsPerPass && !LocalRingFull(); ++n) {
            gsensor_buffer* slot = &gss_localbuff[gss_localbuff_in];
            const ReadResult r = ReadSample(slot, "GSS: Buffer overrun detected in Valid data !");
            if (r == ReadResult::kFailed) return false;
            if (r == ReadResult::kNone) break;
            if (leading && Older(slot->timestamp, start)) continue;
            leading = false;
            gss_localbuff_in = NextSlot(gss_localbuff_in);
        }
        while (gss_localbuff_out != gss_localbuff_in) {
            if (put_gss(dr_, gss_localbuff[gss_localbuff_out]) == 0) break;  // stays for the next pass
            gss_localbuff_out = NextSlot(gss_localbuff_out);
        }
        dr_usleep(kPollUs);
    }
    return true;
}

void GssReceiver::Run() {
    int error = 0;
    dev_ = gss_open(dr_, &error);
    if (!dev_) {
        DR_SYSLOG(DR_ERR_SURVIVABLE, "Failure of opening the device.", 0);
        dr_->gsens_enable = 0;
        dr_->GSensorError = 1;
        return;
    }
    if (dev_->Ioctl(kGsensorStart, nullptr) < 0) {
        // Reads will fail too and end the thread below.
        DR_SYSLOG(DR_ERR_SURVIVABLE, "Failure of device initialization.", 0);
        dr_->GSensorError = 1;
        dr_->gsens_enable = 0;
    }
    gss_localbuff_in = 0;
    gss_localbuff_out = 0;
    const PreReadEnd pre = PreRead();
    if (pre == PreReadEnd::kFailed || (pre == PreReadEnd::kCaptureStarted && !Capture())) Disable();
    gss_close(std::move(dev_));
}

}  // namespace

gsensor_threshold_axis GssThresholds(int position, uint8_t brake_limit, uint8_t accel_limit,
                                     uint8_t steering_limit) {
    gsensor_threshold_axis t{};
    if (position < 1 || position > 24) return t;
    const Mounting& m = kMountings[static_cast<size_t>((position - 1) / 8 * 4 + (position - 1) % 4)];
    // Per axis: the + direction's threshold, then the - direction's.
    uint32_t* words[3][2] = {{&t.x_positive, &t.x_negative}, {&t.y_positive, &t.y_negative},
                             {&t.z_positive, &t.z_negative}};
    *words[m.longitudinal][m.brake_positive ? 0 : 1] = brake_limit;
    *words[m.longitudinal][m.brake_positive ? 1 : 0] = accel_limit;
    *words[m.lateral][0] = steering_limit;
    *words[m.lateral][1] = steering_limit;
    return t;
}

std::unique_ptr<diviv::Device> gss_open(dr_common_t* dr, int* error) {
    WriteOffsets(dr);
    int err = 0;
    std::unique_ptr<diviv::Device> dev = diviv::TheBoard().OpenDevice(kGsensorDevice, O_RDWR, &err);
    if (error != nullptr) *error = err;
    if (!dev) return nullptr;
    gsensor_threshold_axis t = GssThresholds(SharedSetting(dr->gss_position), SharedSetting(dr->brake_limit),
                                                SharedSetting(dr->accel_limit), SharedSetting(dr->steering_limit));
    std::printf("GSS: Threshhold_axis(xn=%02x,xp=%02x,yn=%02x,yp=%02x,zn=%02x,zp=%02x\n", t.x_negative, t.x_positive,
                t.y_negative, t.y_positive, t.z_negative, t.z_positive);
    (void)dev->Ioctl(kGsensorSetThreshold, &t);  // a driver that refuses keeps its own thresholds
    return dev;
}

void gss_close(std::unique_ptr<diviv::Device> dev) {
    // Releasing the owner closes the descriptor; a close of a character
    // device that was open does not fail.
    dev.reset();
    std::printf("GSS : Close :%d\n", 0);
}

int put_gss(dr_common_t* dr, const gsensor_buffer& gssdata) {
    if (dr->REQ_GSS_CLOSE.load() != 0) return 0;
    if (DR_GetRingBufferWriteAvailable(&dr->gsens_buf) > kGsensorRecordSize - 1) {
        return DR_WriteRingBuffer(&dr->gsens_buf, &gssdata, kGsensorRecordSize);
    }
    dr->GSensorError = 1;
    if (!g_full_reported.exchange(true)) std::printf("GSS : #### GSensor Buffer is FULL !! ###\n");
    return 0;
}

void GssReceiveThread(dr_common_t* dr) {
    std::printf("GSS : GssReceiveThread start [ppid=%d tid=%ld] ###\n", static_cast<int>(getppid()),
                static_cast<long>(syscall(SYS_gettid)));
    GssReceiver(dr).Run();
    std::printf("GSS : GssReceiveThread End \n");
    std::fflush(stdout);
    dr->GSS_ALIVE = 0;
}

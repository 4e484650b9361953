#include "sensors/PulseAndContReceiveThread.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>

#include "core/DR_common.h"
#include "platform/Board.h"

static_assert(sizeof(pulse_input_buffer) == kPulseRecordSize);
static_assert(sizeof(cont_input_buffer) == kContactRecordSize);

namespace {

constexpr uint32_t kPassUs = 100000;  // one pass every 100 ms
constexpr int kPulsePasses = 5;       // pulse records every fifth pass (500 ms)
constexpr int kContactPasses = 2;     // contact samples every second pass (200 ms)
constexpr int kInputLineMax = 31;     // characters of the input word's line read at most
constexpr size_t kInputLineLength = 9;  // eight hexadecimal digits and LF

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 0;
}

void LogClosingFailure() { DR_SYSLOG(DR_ERR_SURVIVABLE, "Failure of closing the device.", 0); }

class PulseAndContReceiver {
public:
    PulseAndContReceiver(dr_common_t* dr, diviv::Device& dev) : dr_(dr), dev_(dev) {}

    // Passes every 100 ms until the close request.
    void Sample();

private:
    void ReadPulses();
    void SampleContacts();

    dr_common_t* dr_;
    diviv::Device& dev_;
    pulse_input_buffer spl_pulse{};  // the record being read
    cont_input_buffer spl_cont{};    // the record being filled
};

void PulseAndContReceiver::ReadPulses() {
    // Room is looked at before every record: a record that does not fit in
    // whole stays in the driver for the next pass, so pulse_buf never holds
    // a torn record.
    for (;;) {
        if (DR_GetRingBufferWriteAvailable(&dr_->pulse_buf) <= kPulseRecordSize - 1) {
            std::printf("PAC : #### Pulse Buffer is FULL !! ###\n");
            return;
        }
        spl_pulse = {};
        if (dev_.Ioctl(kPulseRead, &spl_pulse) < 0) return;
        if ((spl_pulse.flag & kPulseNoData) != 0) return;
        DR_WriteRingBuffer(&dr_->pulse_buf, &spl_pulse, kPulseRecordSize);
        if ((spl_pulse.flag & kPulseMoreData) == 0) return;
        std::printf("PAC: There is one more data to be recieve from driver.\n");
    }
}

void PulseAndContReceiver::SampleContacts() {
    if (DR_GetRingBufferWriteAvailable(&dr_->contin_buf) <= kContactRecordSize - 1) {
        std::printf("PAC : #### Contact-in Buffer is FULL !! ###\n");
        return;
    }
    spl_cont = {};
    timeval tv{};
    if (::gettimeofday(&tv, nullptr) != 0) {
        std::printf("PAC : gettimeofday failed !\n");
    } else {
        spl_cont.timestamp = {static_cast<int32_t>(tv.tv_sec), static_cast<int32_t>(tv.tv_usec)};
    }
    char text[kInputLineMax + 1] = {};
    const int n = diviv::TheBoard().InputDevices().ReadDriverFile(kInputWordFile, text, kInputLineMax);
    std::string_view line(text, n > 0 ? static_cast<size_t>(n) : 0);
    if (const size_t eol = line.find('\n'); eol != std::string_view::npos) line = line.substr(0, eol + 1);
    // A word that could not be read is no sample: read as 0 it would be
    // the lines at rest with the active-low inputs active, and an external
    // event input wired active-low would raise an event that never was.
    if (line.size() != kInputLineLength) return;
    spl_cont.sigin = ContactInputBits(line);
    DR_WriteRingBuffer(&dr_->contin_buf, &spl_cont, kContactRecordSize);
}

void PulseAndContReceiver::Sample() {
    for (int pass = 0; dr_->REQ_PAC_CLOSE.load() == 0; ++pass) {
        if (pass % kPulsePasses == 0) ReadPulses();
        if (pass % kContactPasses == 0) SampleContacts();
        dr_usleep(kPassUs);
    }
}

void Run(dr_common_t* dr) {
    std::unique_ptr<diviv::Device> dev = pulse_open();
    if (!dev) {
        DR_SYSLOG(DR_ERR_SURVIVABLE, "Failure of opening the device.", 0);
        return;
    }
    if (dev->Ioctl(kPulseStart, nullptr) < 0) DR_SYSLOG(DR_ERR_SURVIVABLE, "Failure of device initialization.", 0);
    while (dr->CaptureStart.load() != 1 && dr->REQ_PAC_CLOSE.load() == 0) dr_usleep(kPassUs);
    PulseAndContReceiver(dr, *dev).Sample();
    if (dev->Ioctl(kPulseStop, nullptr) < 0) LogClosingFailure();
    if (dev->Ioctl(kPulseRelease, nullptr) < 0) LogClosingFailure();
    pulse_close(std::move(dev));
}

}  // namespace

std::unique_ptr<diviv::Device> pulse_open(int* error) {
    int err = 0;
    std::unique_ptr<diviv::Device> dev = diviv::TheBoard().OpenDevice(kPulseDevice, O_RDWR, &err);
    if (error != nullptr) *error = err;
    return dev;
}

// Releasing the owner closes the descriptor.
void pulse_close(std::unique_ptr<diviv::Device> dev) { dev.reset(); }

uint32_t ContactInputBits(std::string_view line) {
    if (line.size() != kInputLineLength) return 0;
    uint32_t word = 0;
    for (size_t i = 0; i < 8; ++i) word = word * 16 + static_cast<uint32_t>(HexDigit(line[i]));
    return ((word >> 9) & 0x7F) ^ 0x0F;
}

void PulseAndContReceiveThread(dr_common_t* dr) {
    std::printf("PAC : PulseAndContReceiveThread start [ppid=%d tid=%ld] ###\n", static_cast<int>(getppid()),
                static_cast<long>(syscall(SYS_gettid)));
    timeval tv{};
    if (::gettimeofday(&tv, nullptr) != 0) std::printf("PAR : gettimeofday failed !\n");
    Run(dr);
    std::printf("PAC : Pulse and Contact-in ReceiveThread End \n");
    std::fflush(stdout);
    dr->PAC_ALIVE = 0;
}

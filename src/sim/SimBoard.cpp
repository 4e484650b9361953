#include "sim/SimBoard.h"

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace diviv::sim {

namespace {

constexpr uint32_t kSectorsPerMb = 2048;
constexpr uint32_t kFirstLba = 8192;  // 4 MiB alignment, as SD cards ship

bool MakeExecutable(const std::string& path, const std::string& text) {
    if (!WriteTextFile(path, text)) return false;
    return ::chmod(path.c_str(), 0755) == 0;
}

// A stand-in program: records its name and arguments in the calls file.
std::string RecorderScript(const std::string& name, const std::string& root_from_self,
                           const std::string& extra = "") {
    return "#!/bin/sh\n"
           "ROOT=\"${DIVIV_ROOT:-$(cd \"$(dirname \"$0\")" + root_from_self + "\" && pwd)}\"\n"
           "printf '%s' '" + name + "' >> \"$ROOT" + kCallsFile + "\"\n"
           "for a in \"$@\"; do printf ' %s' \"$a\" >> \"$ROOT" + kCallsFile + "\"; done\n"
           "printf '\\n' >> \"$ROOT" + kCallsFile + "\"\n" + extra + "exit 0\n";
}

void PutLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

bool WriteTextFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out << text;
    return static_cast<bool>(out);
}

std::string ReadTextFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool WriteCardImage(const std::string& image_path, const SimBoardOptions& options) {
    std::array<uint8_t, 512> mbr{};
    const uint64_t total = options.card_mb * kSectorsPerMb;
    uint64_t fixed = 0;
    for (const auto& p : options.partitions) fixed += p.size_mb * kSectorsPerMb;
    uint64_t lba = kFirstLba;
    for (size_t i = 0; i < options.partitions.size() && i < 4; ++i) {
        const auto& p = options.partitions[i];
        uint64_t sectors = p.size_mb * kSectorsPerMb;
        if (sectors == 0) sectors = total > fixed + kFirstLba ? total - fixed - kFirstLba : 0;
        uint8_t* e = &mbr[446 + 16 * i];
        e[0] = 0x00;  // not bootable
        e[1] = 0xFE; e[2] = 0xFF; e[3] = 0xFF;  // CHS unused (LBA addressing)
        e[4] = p.type;
        e[5] = 0xFE; e[6] = 0xFF; e[7] = 0xFF;
        PutLe32(e + 8, static_cast<uint32_t>(lba));
        PutLe32(e + 12, static_cast<uint32_t>(sectors));
        lba += sectors;
    }
    mbr[510] = 0x55;
    mbr[511] = 0xAA;
    std::ofstream out(image_path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(mbr.data()), mbr.size());
    return static_cast<bool>(out);
}

namespace {

// The board's driver state files are read in one piece: a reader sees the
// old word or the new one, never the empty file a rewrite in place shows
// for a moment. So they are replaced by rename.
bool ReplaceStateFile(const std::string& path, const std::string& text) {
    const std::string tmp = path + ".new." + std::to_string(::getpid());
    if (!WriteTextFile(tmp, text)) return false;
    if (std::rename(tmp.c_str(), path.c_str()) == 0) return true;
    std::remove(tmp.c_str());
    return false;
}

}  // namespace

bool WritePowerState(const std::string& dir, bool supply_power, bool ignition, bool power_switch) {
    const unsigned word = (supply_power ? 0u : 1u) | (ignition ? 2u : 0u) | (power_switch ? 4u : 0u);
    char text[8];
    std::snprintf(text, sizeof text, "%05x", word);
    return ReplaceStateFile(dir + "/proc/driver/power", text);
}

bool WriteInputWord(const std::string& dir, uint32_t word) {
    char text[16];
    std::snprintf(text, sizeof text, "%08x\n", word);
    return ReplaceStateFile(dir + "/proc/driver/input", text);
}

bool WriteMounts(const std::string& dir, bool mounted, bool writable, bool microsd_mounted) {
    std::string text = "rootfs / rootfs rw 0 0\nproc /proc proc rw,relatime 0 0\n";
    if (mounted) {
        const char* opt = writable ? "rw," : "ro,";
        text += std::string("/dev/mmcblk0p1 /mnt/mmc0_p1 vfat ") + opt +
                "relatime,fmask=0022,dmask=0022,codepage=cp437,iocharset=iso8859-1 0 0\n";
        text += std::string("/dev/mmcblk0p2 /mnt/mmc0_p2 vfat ") + opt +
                "relatime,fmask=0022,dmask=0022,codepage=cp437,iocharset=iso8859-1 0 0\n";
    }
    if (microsd_mounted) {
        text += "/dev/mmcblk1p1 /mnt/mmc1_p1 vfat rw,relatime,fmask=0022,dmask=0022,codepage=cp437,"
                "iocharset=iso8859-1 0 0\n";
    }
    return ReplaceStateFile(dir + "/proc/mounts", text);
}

bool CreateSimBoard(const std::string& dir_in, const SimBoardOptions& o, std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error) *error = why;
        return false;
    };
    std::error_code ec;
    fs::create_directories(dir_in, ec);
    if (ec) return fail("cannot create " + dir_in + ": " + ec.message());
    const std::string dir = fs::canonical(dir_in).string();

    for (const char* d : {"/proc/driver/camera", "/sys/bus/mmc/devices", "/dev/input", "/dev/i2c",
                          "/mnt/mmc0_p1", "/mnt/mmc0_p2", "/mnt/mmc1_p1", "/var/tmp", "/usr/local/sbin",
                          "/usr/local/font", "/bin", "/sbin", "/sim", "/proc/sys/vm"}) {
        fs::create_directories(dir + d, ec);
        if (ec) return fail(std::string("cannot create ") + d);
    }
    for (const char* led : {"LED1", "LED2", "LED3", "BUZZER", "GPS_P_CNT", "GPSONOFF"}) {
        const std::string base = dir + "/sys/class/leds/" + led;
        fs::create_directories(base, ec);
        for (const char* f : {"trigger", "brightness", "delay_on", "delay_off", "sync", "delay1_on",
                              "delay1_off", "delay2_on", "delay2_off", "delay3_on", "delay3_off",
                              "delay4_on", "delay4_off", "times"}) {
            if (!fs::exists(base + "/" + f)) WriteTextFile(base + "/" + f, "0\n");
        }
    }

    bool ok = WritePowerState(dir, o.supply_power, o.ignition) && WriteInputWord(dir, kInputIdle) &&
              WriteTextFile(dir + "/proc/driver/power_cmd", "") &&
              WriteTextFile(dir + "/proc/driver/camera/maxdevices", "1\n") &&
              WriteTextFile(dir + "/proc/driver/camera/video_input_status", "1 0 0 0\n") &&
              WriteTextFile(dir + "/proc/driver/camera/video_format", "NTSC\n") &&
              WriteTextFile(dir + "/proc/driver/camera/video_mode", "") &&
              WriteTextFile(dir + "/proc/driver/eeprom_wp", "1\n") &&
              WriteTextFile(dir + "/proc/driver/gsensor_offset_hex", "000000\n") &&
              WriteTextFile(dir + "/proc/sys/vm/drop_caches", "0\n") &&
              WriteTextFile(dir + "/usr/local/sbin/notifysdevent_key", "") &&
              WriteMounts(dir, o.card_present, o.card_writable) &&
              WriteCardImage(dir + "/dev/mmcblk0", o);
    if (!ok) return fail("cannot write the driver files");

    // The card slot's device entry exists only while a card is inserted.
    const std::string mmc = dir + "/sys/bus/mmc/devices/mmc0:0001";
    if (o.card_present) fs::create_directories(mmc, ec); else fs::remove_all(mmc, ec);

    // Input event devices carry native struct input_event records.
    for (const char* ev : {"/dev/input/event0", "/dev/input/event1"}) {
        const std::string p = dir + ev;
        if (!fs::exists(p) && ::mkfifo(p.c_str(), 0644) != 0) return fail(std::string("mkfifo ") + ev);
    }

    // A blank EEPROM reads all 0xFF.
    const std::string eep = dir + kEepromImage;
    if (!fs::exists(eep)) {
        if (!WriteTextFile(eep, std::string(o.eeprom_bytes, '\xff'))) return fail("cannot write the EEPROM image");
    }

    // TrueType fonts for the on-screen display.
    const std::pair<const char*, const char*> fonts[] = {
        {"/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf", "/usr/local/font/osd_font.ttf"},
        {"/usr/share/fonts/truetype/dejavu/DejaVuSansMono-Bold.ttf", "/usr/local/font/osd_clock_font.ttf"},
    };
    for (const auto& [from, to] : fonts) {
        if (fs::exists(from)) fs::copy_file(from, dir + to, fs::copy_options::overwrite_existing, ec);
    }

    // Stand-in programs. The log program appends its one argument as a line.
    ok = MakeExecutable(dir + "/usr/local/sbin/log_record",
                        "#!/bin/sh\n"
                        "ROOT=\"${DIVIV_ROOT:-$(cd \"$(dirname \"$0\")/../../..\" && pwd)}\"\n"
                        "printf '%s\\n' \"$1\" >> \"$ROOT" + std::string(kLogRecordFile) + "\"\n"
                        "exit 0\n") &&
         MakeExecutable(dir + "/formatsd.sh",
                        RecorderScript("formatsd.sh", "",
                                       "find \"$ROOT/mnt/mmc0_p1\" \"$ROOT/mnt/mmc0_p2\" -mindepth 1 -delete\n")) &&
         MakeExecutable(dir + "/NandLogCk.sh", RecorderScript("NandLogCk.sh", "")) &&
         MakeExecutable(dir + "/tacl", RecorderScript("tacl", "")) &&
         MakeExecutable(dir + "/bin/date", RecorderScript("date", "/..")) &&
         MakeExecutable(dir + "/sbin/hwclock", RecorderScript("hwclock", "/.."));
    if (!ok) return fail("cannot write the stand-in programs");
    if (!fs::exists(dir + kCallsFile)) WriteTextFile(dir + kCallsFile, "");
    if (!fs::exists(dir + kLogRecordFile)) WriteTextFile(dir + kLogRecordFile, "");
    return true;
}

}  // namespace diviv::sim

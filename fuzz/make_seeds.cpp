// Writes the seed inputs of the fuzz targets with the project's own code:
// make_seeds OUT writes OUT/<target>/<name> for every target but the ASF
// reader (whose seeds are recordings made by `diviv-media mux`, see
// scripts/fuzz.sh). Each seed is what the recorder or its peers really
// write: the setup file and the index as the storage code writes them, RMC
// sentences from the simulated GPS module, host messages, EEPROM records,
// card events.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "FuzzBoard.h"
#include "GpsModule.h"
#include "config/param_ini.h"
#include "config/setup_ini.h"
#include "core/CardEvent.h"
#include "core/DR_shared.h"
#include "storage/indexf.h"

namespace {

std::string g_out;

void Put(const std::string& target, const std::string& name, const std::string& bytes) {
    const std::string dir = g_out + "/" + target;
    ::mkdir(dir.c_str(), 0755);
    const std::string path = dir + "/" + name;
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() || std::fclose(f) != 0) {
        std::fprintf(stderr, "make_seeds: cannot write %s\n", path.c_str());
        std::exit(1);
    }
}

std::string ReadAll(const std::string& path) {
    std::string text;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
        std::fclose(f);
    }
    return text;
}

std::string Replace(std::string s, const std::string& from, const std::string& to) {
    for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size())) s.replace(at, from.size(), to);
    return s;
}

std::string RecordBytes(const Eep_data& e) { return std::string(reinterpret_cast<const char*>(&e), sizeof e); }

// The EEPROM records: a blank part, the factory defaults, and a record
// whose identifiers and limits were set.
void EepromSeeds() {
    Put("eeprom_record", "blank", std::string(sizeof(Eep_data), '\xff'));
    Eep_data e{};
    SetupIniDefault(&e);
    Put("eeprom_record", "defaults", RecordBytes(e));
    std::memcpy(e.id1, "AB12CD34", 8);
    std::memcpy(e.id3, "12345678", 8);
    e.cammode = 3;
    e.speed_limit = 1000;
    e.gss_position = 24;
    e.app_version = 0x03010103;
    Put("eeprom_record", "settings", RecordBytes(e));
}

// setup.ini as the recorder writes it, and as a user edits it.
void SetupSeeds(const std::string& root) {
    fuzzboard::EepromImage().fill(0xFF);
    const std::string file = root + "/setup.ini";
    if (CreateSetupIni(file.c_str()) != 0) std::exit(1);
    const std::string written = ReadAll(file);
    Put("setup_ini", "written", written);
    Put("setup_ini", "crlf", Replace(written, "\n", "\r\n"));
    Put("setup_ini", "edited",
        "; settings of the fleet\n[other]\nCAM_MODE=2\n[holmax]\n  video_bitrate_h = 1024\t\nVIDEO_FRATE_H=15\n"
        "GOP_NUM_H=30\nREC_DURATION=300\nREC_STOP_TIMER=90min\nID1=ABCDEFGH\nID2=1234567\nPCODE_NEW=1234\n"
        "GPOSITION=7\nSPEED_LIMIT=99999999999999999999\n[NEXT]\nAUTO_REC=1\n");
}

// The index as the storage code writes it.
void IndexSeeds(const std::string& root) {
    DeleteAllIndex();
    const char* names[] = {"REC100001.ASF", "SAV200002.ASF", "REC100003.ASF", "REC100004.ASF"};
    int64_t t = 1718400000;
    for (int i = 0; i < 4; ++i) {
        IndexFileStr e{};
        std::snprintf(e.FileName, sizeof e.FileName, "%s", names[i]);
        e.FileSize = 7500 + i;
        e.Time = t + 60 * i;
        e.BitRate = 2048;
        e.PictureSize = 1;
        e.Duration = 60;
        e.Lock = names[i][0] == 'S';
        AddIndex(&e, kAddAtNewest);
    }
    const std::string end = root + "/index-end";
    const std::string start = root + "/index-start";
    if (SaveIndexFile(end.c_str(), kIndexStateEnd) != 0 || SaveIndexFile(start.c_str(), kIndexStateStart) != 0)
        std::exit(1);
    Put("index_file", "end", ReadAll(end));
    Put("index_file", "start", ReadAll(start));
    DeleteAllIndex();
}

// RMC sentences from the simulated GPS module: moving, standing still (no
// course), without a fix, at a leap second.
void NmeaSeeds() {
    const std::vector<boardsim::RoutePoint> route = boardsim::BuiltInLoop();
    std::tm utc{};
    utc.tm_year = 124;
    utc.tm_mon = 5;
    utc.tm_mday = 15;
    utc.tm_hour = 23;
    utc.tm_min = 59;
    utc.tm_sec = 58;
    boardsim::RmcReport r;
    r.utc = utc;
    r.at = route[0];
    Put("nmea", "standing", boardsim::RmcSentence(r));
    r.at = route[10];
    r.course = boardsim::CourseDegrees(route[10], route[11]);
    Put("nmea", "moving", boardsim::RmcSentence(r));
    r.fix = false;
    Put("nmea", "nofix", boardsim::RmcSentence(r));
    r.fix = true;
    r.utc.tm_sec = 60;
    Put("nmea", "leapsecond", boardsim::RmcSentence(r));
    Put("nmea", "gga", boardsim::NmeaSentence("GPGGA,235958.000,3540.8742,N,13946.0275,E,1,08,1.0,40.0,M,,,,0000"));
}

std::string Message(int32_t command, int32_t param, const char* text) {
    commsg_t m{};
    m.MsgLong[0] = command;
    if (text != nullptr) {
        std::strncpy(m.MsgData + 4, text, sizeof m.MsgData - 4);
    } else {
        m.MsgLong[1] = param;
    }
    return std::string(m.MsgData, sizeof m.MsgData);
}

void HostSeeds() {
    Put("host_message", "status", Message(0, 0, nullptr));
    Put("host_message", "stop", Message(9, 0, nullptr));
    Put("host_message", "start", Message(9, 1, nullptr));
    for (int c = 30; c <= 34; ++c) Put("host_message", "param" + std::to_string(c), Message(c, 5, nullptr));
    Put("host_message", "ping", Message(40, 0, nullptr));
    Put("host_message", "id", Message(72, 0, "AB12CD34"));
    Put("host_message", "password", Message(115, 0, "9274"));
}

// Card events as the card-watching service sends them, each followed by the
// byte that picks the recorder's state (low bits: the state's place in its
// list; 0x10: a card in use).
void CardSeeds() {
    struct Seed {
        const char* name;
        int32_t type;
        const char* mntdir;
        uint8_t state;
    };
    const Seed seeds[] = {
        {"insert-p1-nosd", kCardInserted, "/mnt/mmc0_p1", 8},
        {"insert-p1-rec", kCardInserted, "/mnt/mmc0_p1", 0x12},
        {"insert-p2", kCardInserted, "/mnt/mmc0_p2", 0x11},
        {"insert-micro-idle", kCardInserted, "/mnt/mmc1_p1", 0x11},
        {"remove-p1-idle", kCardRemoved, "/mnt/mmc0_p1", 0x11},
        {"remove-micro-transcode", kCardRemoved, "/mnt/mmc1_p1", 0x19},
        {"panic", kCardPanic, "/mnt/mmc0_p1", 0x12},
    };
    for (const Seed& s : seeds) {
        notifysdevent_t ev{};
        ev.type = s.type;
        std::snprintf(ev.devname, sizeof ev.devname, "%s", s.mntdir[8] == '1' ? "/dev/mmcblk1p1" : "/dev/mmcblk0p1");
        std::snprintf(ev.slotnum, sizeof ev.slotnum, "%c", s.mntdir[8]);
        std::snprintf(ev.mntdir, sizeof ev.mntdir, "%s", s.mntdir);
        std::snprintf(ev.format, sizeof ev.format, "vfat");
        std::string bytes(reinterpret_cast<const char*>(&ev), sizeof ev);
        bytes.push_back(static_cast<char>(s.state));
        Put("card_event", s.name, bytes);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seeds OUT\n");
        return 2;
    }
    g_out = argv[1];
    ::mkdir(g_out.c_str(), 0755);
    const std::string root = fuzzboard::Install();
    fuzzboard::QuietConsole();
    EepromSeeds();
    SetupSeeds(root);
    IndexSeeds(root);
    NmeaSeeds();
    HostSeeds();
    CardSeeds();
    for (const char* f : {"/setup.ini", "/index-end", "/index-start"}) std::remove((root + f).c_str());
    return 0;
}

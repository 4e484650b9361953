// osdshot: renders every on-screen display screen, and every caption font,
// into PNG files so they can be looked at.
//
//   osdshot OUTDIR
//
// Uses the board root in DIVIV_ROOT, or makes a simulated one in
// OUTDIR/board (the display fonts come from there).
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "osd/DateSettingView.h"
#include "osd/MediaInfo.h"
#include "osd/dfb_osd_api.h"
#include "osd/font.h"
#include "osd/osd.h"
#include "osd/osd_screenshot.h"
#include "sim/SimBoard.h"
#include "sim/SimulatedBoard.h"

namespace {

constexpr const char* kUsage =
    "usage: osdshot OUTDIR\n"
    "Renders every display screen and every caption font into PNG files in OUTDIR.\n"
    "Uses the board root in DIVIV_ROOT, or makes a simulated one in OUTDIR/board.\n";

std::string out_dir;
int failures = 0;

void ClearAll() {
    ClearMenu();
    ClearClock();
    ClearSDCInfo();
    ClearFileList();
    ClearSetDate();
    ClearMediaInfo();
    ClearConfigMenu();
    ClearNoSD();
}

void Shot(const char* name) {
    const std::string path = out_dir + "/" + name + ".png";
    if (OSDScreenshot(path.c_str()) != 0) {
        std::fprintf(stderr, "osdshot: cannot write %s\n", path.c_str());
        ++failures;
        return;
    }
    std::printf("osdshot: %s\n", path.c_str());
}

// 17 May 2024 08:30:15 in local time.
time_t SampleTime(int minutes_back = 0) {
    struct tm tm {};
    tm.tm_year = 124;
    tm.tm_mon = 4;
    tm.tm_mday = 17;
    tm.tm_hour = 8;
    tm.tm_min = 30 - minutes_back;
    tm.tm_sec = 15;
    tm.tm_isdst = -1;
    return mktime(&tm);
}

void MenuScreens() {
    INITDISP_DATA_t d{};
    d.flag = DISP_START;
    d.Title1 = "DiViv DRIVE RECORDER";
    d.Title2 = "        Application Software";
    d.VersionInfo = "               (3.1.1.3)";
    d.Title3 = "  >>> Linux 2.6.22";
    d.Title4 = "     (PREEMPT Mon May 13 10:00:00 JST 2024)";
    d.CompanyInfo = "  DiViv project";
    const time_t t = SampleTime();
    ClearAll();
    DispMenu(&d);
    DispClock(&t);
    Shot("01_start");
    const struct {
        int flag;
        const char* name;
    } notices[] = {{DISP_NOSD, "02_no_card"}, {DISP_SDC_FAULT, "03_card_fault"}, {DISP_CONVERTING, "04_converting"}};
    for (const auto& n : notices) {
        ClearAll();
        d.flag = n.flag;
        DispMenu(&d);
        DispClock(&t);
        Shot(n.name);
    }
    ClearAll();
    DispNoSD(nullptr);
    DispClock(nullptr);
    Shot("05_no_card_window");
}

void ListScreens() {
    SDC_InfoView info{};
    info.diskspace = 7800;
    info.availablesize = 6123;
    info.NumOfFiles = 12;
    info.EventFiles = 2;
    SDC_FileList_t list{};
    list.valid_file_count = 12;
    list.list_count = kFileListRows;
    for (int i = 0; i < kFileListRows; ++i) {
        SDC_FileRowView& row = list.fileinfo[i];
        row.index = i;
        row.size = 14336 + 97 * i;
        row.dt = SampleTime(i);
        std::snprintf(row.file_name, sizeof row.file_name, i == 1 ? "SAV10%03d.ASF" : "FILE00%03d.ASF", 120 - i);
    }
    list.selected_row = 3;
    list.draw_upper_allow = 1;
    list.draw_lower_allow = 1;
    const time_t t = SampleTime();
    ClearAll();
    DispSDCInfo(&info);
    DispFileList(&list);
    DispClock(&t);
    Shot("06_file_list");

    ClearAll();
    DispSDCInfo(nullptr);
    DispFileList(nullptr);
    DispClock(nullptr);
    Shot("07_summary_no_card");
}

void OtherScreens() {
    DateSettingView date{2, 2024, 5, 17, 8, 30, 15, "(Fri)"};
    ClearAll();
    DispSetDate(&date);
    Shot("08_set_date");
    date.nSel = 6;
    DispSetDate(&date);
    Shot("09_set_date_confirm");

    MediaInfo_t m{};
    std::snprintf(m.filename, sizeof m.filename, "FILE00118.ASF");
    m.audioformat = G726;
    m.videoformat = H264;
    m.bitrate = 2048000;
    m.width = 640;
    m.height = 480;
    m.duration = 60;
    ClearAll();
    DispMediaInfo(&m);
    Shot("10_media_info");

    EEPROM_DATA_t e{};
    e.High = {0, 2048, 0, 30, 1};
    e.Middle = {0, 1024, 0, 20, 10};
    e.Low = {1, 512, 1, 10, 30};
    e.Duration = 60;
    e.Reserve1 = 3;
    ClearAll();
    DispConfigMenu(&e);
    Shot("11_config_menu");
}

// Every caption font's character set stamped on a grey ramp picture; the
// PNG shows the luminance plane.
void CaptionSheet() {
    constexpr int W = 640, H = 480;
    std::vector<uint8_t> yuv(W * H * 3 / 2, 128);
    for (int y = 0; y < H; ++y) {
        for (int x = 0; x < W; ++x) yuv[y * W + x] = static_cast<uint8_t>(40 + x * 180 / W);
    }
    int y = 10;
    for (int type = FONT_8X10; type <= FONT_13X17B; ++type) {
        font_type* f = font_init(type);
        osd_session* s = osd_init(W, H, 4, y);
        if (!f || !s || osd_install_font(s, f) != 0) {
            ++failures;
            font_deinit(f);
            osd_deinit(s);
            continue;
        }
        const int per_line = (W - 8) / (f->width + 1);
        const std::string set = "0123456789:/ABCDEFGHIJKLMNOPQRSTUVWXYZ 2024/05/17 08:30:15";
        for (size_t at = 0; at < set.size(); at += per_line) {
            s->rel_y = y;
            osd_update(s, yuv.data(), set.substr(at, per_line).c_str());
            y += f->height + 3;
        }
        y += 3;
        osd_deinit(s);
    }
    std::vector<uint8_t> rgb(W * H * 3);
    for (int i = 0; i < W * H; ++i) rgb[i * 3] = rgb[i * 3 + 1] = rgb[i * 3 + 2] = yuv[i];
    const std::string path = out_dir + "/20_caption_fonts.png";
    if (WriteRgbPng(path, rgb.data(), W, H) != 0) {
        ++failures;
        return;
    }
    std::printf("osdshot: %s\n", path.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    // One argument, the output folder; an option is a request for help or a
    // mistake, never a folder name (a folder starting with "-" is "./-name").
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
    }
    for (int i = 1; i < argc; ++i) {
        if (argv[i][0] == '-') {
            std::fprintf(stderr, "osdshot: unknown option %s\n%s", argv[i], kUsage);
            return 2;
        }
    }
    if (argc != 2) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    out_dir = argv[1];
    mkdir(out_dir.c_str(), 0755);
    const char* root = std::getenv("DIVIV_ROOT");
    if (!root || !*root) {
        const std::string board = out_dir + "/board";
        std::string err;
        if (!diviv::sim::CreateSimBoard(board, diviv::sim::SimBoardOptions{}, &err)) {
            std::fprintf(stderr, "osdshot: %s\n", err.c_str());
            return 1;
        }
        setenv("DIVIV_ROOT", board.c_str(), 1);
        setenv("DIVIV_BOARD", "sim", 1);
    }
    // The screens are drawn on the simulated board's display.
    diviv::InstallBoard(diviv::sim::MakeSimBoard());
    CaptionSheet();
    OSDInit();
    MenuScreens();
    ListScreens();
    OtherScreens();
    OSDClose();
    return failures == 0 ? 0 : 1;
}

// The display screens on a headless DirectFB: what each window shows, where,
// and in which colours, checked on the composed screen (tolerant of font
// rasterisation, exact on background and bar colours) and on the texts drawn.
#include <gtest/gtest.h>
#include <png.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "osd/DateSettingView.h"
#include "osd/dfb_osd_api.h"
#include "osd/osd_screenshot.h"
#include "support/SimBoardFixture.h"

namespace {

struct Rgb {
    uint8_t r, g, b;
    bool operator==(const Rgb&) const = default;
};
constexpr Rgb kBack{0, 0, 100};
constexpr Rgb kText{239, 239, 255};
constexpr Rgb kBlack{0, 0, 0};

std::ostream& operator<<(std::ostream& os, const Rgb& c) {
    return os << "(" << int(c.r) << "," << int(c.g) << "," << int(c.b) << ")";
}

struct Box {
    int x0 = 1 << 20, y0 = 1 << 20, x1 = -1, y1 = -1;  // inclusive
    int count = 0;
};

class OsdScreenTest : public SimBoardTest {
protected:
    void SetUp() override {
        SimBoardTest::SetUp();
        OSDInit();
        dfb_osd_text_trace = &texts_;
    }
    void TearDown() override {
        dfb_osd_text_trace = nullptr;
        OSDSetVideoPlaneSource(nullptr);
        OSDSetOverlaySource(nullptr);
        OSDClose();
        SimBoardTest::TearDown();
    }

    void Capture() {
        ASSERT_TRUE(OSDCaptureScreen(&rgb_, &w_, &h_));
        ASSERT_EQ(w_, 640);
        ASSERT_EQ(h_, 480);
    }
    Rgb At(int x, int y) const {
        const uint8_t* p = rgb_.data() + (static_cast<size_t>(y) * w_ + x) * 3;
        return {p[0], p[1], p[2]};
    }
    // Pixels that differ from the background inside [x0, x1) x [y0, y1).
    Box Ink(int x0, int y0, int x1, int y1) const {
        Box b;
        for (int y = y0; y < y1; ++y) {
            for (int x = x0; x < x1; ++x) {
                if (At(x, y) == kBack) continue;
                ++b.count;
                b.x0 = std::min(b.x0, x);
                b.y0 = std::min(b.y0, y);
                b.x1 = std::max(b.x1, x);
                b.y1 = std::max(b.y1, y);
            }
        }
        return b;
    }
    const dfb_osd_text_record* Text(const std::string& t) const {
        for (const auto& r : texts_) {
            if (r.text == t) return &r;
        }
        return nullptr;
    }

    std::vector<dfb_osd_text_record> texts_;
    std::vector<uint8_t> rgb_;
    int w_ = 0, h_ = 0;
};

time_t LocalTime(int y, int mo, int d, int h, int mi, int s) {
    struct tm tm {};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = s;
    tm.tm_isdst = -1;
    return mktime(&tm);
}

// A list of five rows, the third selected, both arrows on.
struct SampleList {
    SDC_FileList_t list{};
    SampleList() {
        list.valid_file_count = 12;
        list.list_count = kFileListRows;
        for (int i = 0; i < kFileListRows; ++i) {
            SDC_FileRowView& row = list.fileinfo[i];
            row.index = i;
            row.size = 14336 + 97 * i;
            row.dt = LocalTime(2024, 5, 17, 8, 30 - i, 15);
            std::snprintf(row.file_name, sizeof row.file_name, "FILE%05d.ASF", 120 - i);
        }
        list.selected_row = 3;
        list.draw_upper_allow = 1;
        list.draw_lower_allow = 1;
    }
};

constexpr int kListTop = 240;  // the file list window's y
constexpr int kListL = 22;

}  // namespace

TEST_F(OsdScreenTest, AfterStartTheScreenIsThePlainBackground) {
    Capture();
    EXPECT_EQ(Ink(0, 0, 640, 480).count, 0);
    EXPECT_EQ(At(0, 0), kBack);
}

TEST_F(OsdScreenTest, StartScreenShowsTitleCentredAndLinesAtTheirRows) {
    INITDISP_DATA_t d{};
    d.flag = DISP_START;
    d.Title1 = "DRIVE RECORDER";
    d.Title2 = "        Application Software";
    d.VersionInfo = "               (3.1.1.3)";
    d.Title3 = "  >>> Linux 6.1";
    d.Title4 = "     (Debian)";
    d.Title5 = "NOT SHOWN";
    d.CompanyInfo = "  DiViv";
    DispMenu(&d);
    Capture();
    const int L = 24;
    const Box title = Ink(0, L, 640, 2 * L + 8);
    ASSERT_GT(title.count, 0);
    EXPECT_NEAR((title.x0 + title.x1) / 2, 320, 4) << "the product title is centred";
    EXPECT_GT(Ink(0, 4 * L, 640, 5 * L).count, 0) << "version line";
    EXPECT_GT(Ink(0, 12 * L, 640, 13 * L).count, 0) << "maker line";
    EXPECT_EQ(Ink(0, 9 * L, 640, 12 * L).count, 0) << "nothing between the system lines and the maker line";
    EXPECT_EQ(At(639, 439), kBack);
    EXPECT_EQ(Text("NOT SHOWN"), nullptr);
    const auto* v = Text("               (3.1.1.3)");
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->x, 10);
    EXPECT_EQ(v->y, 4 * L);
    const auto* k = Text("     (Debian)");
    ASSERT_NE(k, nullptr);
    EXPECT_EQ(k->y, 7 * L);
}

TEST_F(OsdScreenTest, NoticesStandOnTheirRows) {
    DispMenu(nullptr);  // no record: the no-card notice
    Capture();
    const auto* n = Text(kNoCardLine);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->x, 10);
    EXPECT_EQ(n->y, 5 * 24);
    const Box ink = Ink(0, 0, 640, 440);
    EXPECT_GE(ink.y0, 5 * 24);
    EXPECT_LT(ink.y1, 7 * 24);
    EXPECT_GT(ink.x0, 40) << "six leading spaces";

    INITDISP_DATA_t fault{};
    fault.flag = DISP_SDC_FAULT;
    DispMenu(&fault);
    const auto* a = Text("     ! SYSTEM ERROR OCCURRED !");
    const auto* b = Text("        PLEASE REBOOT NOW >>>>");
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->y, 5 * 24);
    EXPECT_EQ(b->y, 8 * 24);
    fault.flag = DISP_CONVERTING;
    DispMenu(&fault);
    EXPECT_NE(Text("               Converting..."), nullptr);

    DispNoSD(nullptr);
    const auto& own = texts_.back();
    EXPECT_EQ(own.text, kNoCardLine);
    EXPECT_EQ(own.y, 8 * 24);
}

TEST_F(OsdScreenTest, ClockShowsTheTimeOrDashesOfTheSameLength) {
    const time_t t = LocalTime(2024, 5, 17, 8, 30, 15);
    DispClock(&t);
    Capture();
    ASSERT_FALSE(texts_.empty());
    EXPECT_EQ(texts_.back().text, "Fri May 17 08:30:15 2024");
    EXPECT_EQ(texts_.back().x, 350);
    const Box real = Ink(0, 0, 640, 480);
    EXPECT_GE(real.y0, 440) << "only the clock window is drawn";
    EXPECT_GE(real.x0, 350);

    DispClock(nullptr);
    Capture();
    EXPECT_EQ(texts_.back().text, kClockPlaceholder);
    EXPECT_EQ(std::strlen(kClockPlaceholder), texts_[0].text.size());
    const Box dashed = Ink(0, 0, 640, 480);
    EXPECT_GE(dashed.y0, 440);
    EXPECT_NEAR(dashed.x0, real.x0, 8);
    EXPECT_NEAR(dashed.x1, real.x1, 8);
}

TEST_F(OsdScreenTest, CardSummaryRowsWithAndWithoutACard) {
    DispSDCInfo(nullptr);
    const char* none[] = {"NO SD CARD", " USED     : ----", " AVIALABLE: ----", " TOTAL    : ----", "TOTAL FILE: 0 FILES",
                          "EVENT FILE: 0 FILES"};
    const int none_rows[] = {2, 3, 4, 5, 7, 8};
    for (int i = 0; i < 6; ++i) {
        const auto* r = Text(none[i]);
        ASSERT_NE(r, nullptr) << none[i];
        EXPECT_EQ(r->x, 330);
        EXPECT_EQ(r->y, none_rows[i] * 20);
    }
    texts_.clear();
    SDC_InfoView info{};
    info.diskspace = 7800;
    info.availablesize = 6123;
    info.NumOfFiles = 12;
    info.EventFiles = 2;
    DispSDCInfo(&info);
    for (const char* t : {"SD CARD INFO", " USED     : 1677MB", " AVAILABLE: 6123MB", " TOTAL    : 7800MB",
                          "TOTAL FILE:   12FILES", "EVENT FILE:    2FILES"}) {
        EXPECT_NE(Text(t), nullptr) << t;
    }
    Capture();
    EXPECT_EQ(Ink(0, 0, 320, 240).count, 0) << "the summary stands right of x 330";
}

TEST_F(OsdScreenTest, FileListRowsBarAndArrows) {
    SampleList s;
    DispFileList(&s.list);
    Capture();
    // Row texts: name, local date and time, size.
    const auto* r3 = Text("FILE00118.ASF 2024/ 5/17 08:28:15 14530kB");
    ASSERT_NE(r3, nullptr);
    EXPECT_EQ(r3->x, 25);
    EXPECT_EQ(r3->y, 3 * kListL + 25);
    EXPECT_EQ(r3->color.r, 0) << "the selected row is black";
    const auto* r1 = Text("FILE00120.ASF 2024/ 5/17 08:30:15 14336kB");
    ASSERT_NE(r1, nullptr);
    EXPECT_EQ(r1->color.r, 239);
    // The bar: 600 x L at (20, 3L + 28) in the window, in the text colour.
    const int bar_y = kListTop + 3 * kListL + 28;
    for (int y = bar_y; y < bar_y + kListL; ++y) {
        EXPECT_EQ(At(20, y), kText) << y;
        EXPECT_EQ(At(619, y), kText) << y;
        EXPECT_EQ(At(19, y), kBack) << y;
        EXPECT_EQ(At(620, y), kBack) << y;
    }
    EXPECT_EQ(At(300, bar_y - 1), kBack);
    EXPECT_EQ(At(300, bar_y + kListL), kBack);
    bool black = false;
    for (int x = 25; x < 600 && !black; ++x) black = At(x, bar_y + 8) == kBlack;
    EXPECT_TRUE(black) << "text on the bar is black";
    // Arrows: up tip at (320, 38), base at 48; down tip at 175, base at 165.
    EXPECT_EQ(At(320, kListTop + 46), kText);
    EXPECT_EQ(At(320, kListTop + 167), kText);
    EXPECT_EQ(At(335, kListTop + 40), kBack);

    s.list.draw_upper_allow = 0;
    s.list.draw_lower_allow = 0;
    s.list.selected_row = 0;
    DispFileList(&s.list);
    Capture();
    EXPECT_EQ(At(320, kListTop + 46), kBack);
    EXPECT_EQ(At(320, kListTop + 167), kBack);
    EXPECT_EQ(At(619, bar_y + 5), kBack) << "no row selected, no bar";
}

TEST_F(OsdScreenTest, FileListWithoutFilesIsAnEmptyWindow) {
    SampleList s;
    DispFileList(&s.list);
    s.list.valid_file_count = 0;
    DispFileList(&s.list);
    Capture();
    EXPECT_EQ(Ink(0, kListTop, 640, kListTop + 200).count, 0);
    DispFileList(nullptr);
    Capture();
    EXPECT_EQ(Ink(0, 0, 640, 480).count, 0);
}

TEST_F(OsdScreenTest, DateSettingMarksTheSelectedField) {
    DateSettingView d{2, 2024, 5, 17, 8, 30, 15, "(Fri)"};
    DispSetDate(&d);
    const int L = 22;
    const auto* title = Text("  DATE AND TIME SETTING");
    ASSERT_NE(title, nullptr);
    EXPECT_EQ(title->y, 2 * L);
    const auto* day = Text("17");
    ASSERT_NE(day, nullptr);
    EXPECT_EQ(day->x, 260);
    EXPECT_EQ(day->y, 10 * L);
    EXPECT_EQ(day->color.r, 0);
    const auto* year = Text("2024");
    ASSERT_NE(year, nullptr);
    EXPECT_EQ(year->color.r, 239);
    ASSERT_NE(Text("(Fri) "), nullptr);
    EXPECT_EQ(Text("(Fri) ")->x, 290);
    Capture();
    EXPECT_EQ(At(260, 10 * L), kText);
    EXPECT_EQ(At(289, 11 * L - 1), kText);
    EXPECT_EQ(At(290, 10 * L + 1), kBack);

    d.nSel = 6;
    DispSetDate(&d);
    Capture();
    const auto* set = Text("[SET DATE]");
    ASSERT_NE(set, nullptr);
    EXPECT_EQ(At(450, 18 * L), kText);
    EXPECT_EQ(At(589, 18 * L + L - 1), kText) << "140 wide";
    EXPECT_EQ(At(590, 18 * L), kBack);
}

TEST_F(OsdScreenTest, ClearedWindowsNoLongerCoverTheWindowsBelow) {
    DateSettingView d{0, 2024, 5, 17, 8, 30, 15, "(Fri)"};
    DispSetDate(&d);  // the top-most window, over the whole list area
    ClearSetDate();
    SampleList s;
    DispFileList(&s.list);
    Capture();
    EXPECT_EQ(At(619, kListTop + 3 * kListL + 30), kText) << "the list's bar is visible";
    ClearFileList();
    Capture();
    EXPECT_EQ(Ink(0, 0, 640, 480).count, 0);
}

TEST_F(OsdScreenTest, ColourKeyShowsTheVideoPlane) {
    IDirectFBSurface* s = filelist_window.window_surface;
    dfb_osd_window_fill_rectangle(&filelist_window);
    s->SetColor(s, 0x08, 0x08, 0x08, 0xff);
    s->FillRectangle(s, 100, 50, 200, 100);
    dfb_osd_flip(&filelist_window);
    Capture();
    EXPECT_EQ(At(150, kListTop + 100), kBlack) << "no video yet: black";
    OSDSetVideoPlaneSource([](uint8_t* rgb, int w, int h) {
        for (int i = 0; i < w * h; ++i) {
            rgb[i * 3] = 200;
            rgb[i * 3 + 1] = 10;
            rgb[i * 3 + 2] = 10;
        }
        return true;
    });
    Capture();
    EXPECT_EQ(At(150, kListTop + 100), (Rgb{200, 10, 10}));
    EXPECT_EQ(At(99, kListTop + 100), kBack);
    EXPECT_EQ(At(150, 100), kBack) << "video only where the key is painted";
}

TEST_F(OsdScreenTest, TheCameraOverlayIsWrittenOverTheScreenInsideItsWindowOnly) {
    OSDSetOverlaySource([](uint8_t* rgb, uint8_t* mask, int w, int h) {
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                const int i = y * w + x;
                mask[i] = x < 320 ? 1 : 0;  // the left half
                rgb[i * 3] = 10;
                rgb[i * 3 + 1] = 200;
                rgb[i * 3 + 2] = 10;
            }
        }
        return true;
    });
    Capture();
    EXPECT_EQ(At(100, 100), (Rgb{10, 200, 10}));
    EXPECT_EQ(At(400, 100), kBack) << "outside the window the display shows";
    OSDSetOverlaySource([](uint8_t*, uint8_t*, int, int) { return false; });
    Capture();
    EXPECT_EQ(At(100, 100), kBack) << "overlay off";
}

TEST_F(OsdScreenTest, ScreenshotRequestWritesAPng) {
    // The simulated board asks for screenshots through a request file; the
    // main loop serves them with OSDScreenshot.
    int served = 0, last = 0;
    const auto serve = [&] {
        board().ServeBoardRequests([&](const std::string& png) {
            ++served;
            last = OSDScreenshot(png.c_str());
        });
    };
    serve();
    EXPECT_EQ(served, 0) << "nothing asked";
    DispMenu(nullptr);
    const std::string out = root_ + "/shot.png";
    ASSERT_TRUE(Write(diviv::sim::kScreenshotRequestFile, out + "\n"));
    serve();
    EXPECT_EQ(served, 1);
    EXPECT_EQ(last, 0);
    EXPECT_NE(access(Path(diviv::sim::kScreenshotRequestFile).c_str(), F_OK), 0) << "request consumed";
    png_image img;
    std::memset(&img, 0, sizeof img);
    img.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_file(&img, out.c_str()));
    EXPECT_EQ(img.width, 640u);
    EXPECT_EQ(img.height, 480u);
    img.format = PNG_FORMAT_RGB;
    std::vector<uint8_t> px(PNG_IMAGE_SIZE(img));
    ASSERT_TRUE(png_image_finish_read(&img, nullptr, px.data(), 0, nullptr));
    EXPECT_EQ(px[0], 0);
    EXPECT_EQ(px[2], 100);
    serve();
    EXPECT_EQ(served, 1) << "a request is served once";

    ASSERT_TRUE(Write(diviv::sim::kScreenshotRequestFile, root_ + "/no/such/folder/shot.png"));
    serve();
    EXPECT_EQ(served, 2);
    EXPECT_EQ(last, -1) << "a failed write is reported";
}

using OsdStartDeathTest = SimBoardTest;

TEST_F(OsdStartDeathTest, MissingFontIsAFatalSetUpError) {
    UseThreadsafeDeathTests();
    ASSERT_EQ(unlink(Path("/usr/local/font/osd_font.ttf").c_str()), 0);
    EXPECT_EXIT(
        {
            dup2(2, 1);  // the report's first line goes to standard output
            OSDInit();
        },
        [](int status) { return !WIFEXITED(status) || WEXITSTATUS(status) != 0; },
        "dfb_osd_core.c <[0-9]+>:\n\t.*CreateFont");
}

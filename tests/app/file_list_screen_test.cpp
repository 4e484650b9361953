// The file-list screen over the recorded-file index: which five files it
// shows, which row is selected, when the arrows appear, how the cursor moves,
// and what the display is handed.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "core/DR_shared.h"
#include "core/FileListScreen.h"
#include "osd/dfb_osd_api.h"
#include "storage/SDFunc.h"
#include "storage/indexf.h"
#include "support/SimBoardFixture.h"

namespace {

// A shared record and card record over an index of `count` recordings,
// FILE00001 the oldest.
class FileListTest : public SimBoardTest {
protected:
    void SetUp() override {
        SimBoardTest::SetUp();
        dr_ = NewDrCommon();
        drc = dr_.get();
        drc->sdinfo = &info_;
        drc->AppState = STATE_IDLE;
        DeleteAllIndex();
    }
    void TearDown() override {
        DeleteAllIndex();
        drc = nullptr;
        SimBoardTest::TearDown();
    }

    void MakeIndex(int count) {
        for (int i = 1; i <= count; ++i) {
            IndexFileStr e{};
            std::snprintf(e.FileName, sizeof e.FileName, "FILE%05d.ASF", i);
            e.FileSize = 1000 + i;
            e.Time = 1715934615 + 60 * i;
            ASSERT_NE(AddIndex(&e, kAddByTime), nullptr);
        }
        info_ = SDC_Info_t{};
        info_.index = 1;
        info_.NumOfFiles = GetNumOfIndex();
        info_.MostRecentIndex = GetMostRecentIndex();
        info_.OldestIndex = GetOldestIndex();
        info_.CurrentSelectedIndex = GetMostRecentIndex();
    }
    void Select(int number) {
        for (IndexFileStr* e = GetMostRecentIndex(); e; e = e->next) {
            if (GetIndexNum(e->FileName) == number) info_.CurrentSelectedIndex = e;
        }
    }
    // The numbers of the rows shown, newest first.
    std::vector<int> Rows(const SDC_FileList_t& l) const {
        std::vector<int> r;
        for (int i = 0; i < l.list_count; ++i) r.push_back(GetIndexNum(l.fileinfo[i].file_name));
        return r;
    }

    std::unique_ptr<dr_common_t> dr_;
    SDC_Info_t info_{};
};

using Numbers = std::vector<int>;

}  // namespace

TEST_F(FileListTest, WindowsOverTheIndexForShortAndLongLists) {
    MakeIndex(100);
    SDC_FileList_t l{};
    ASSERT_EQ(CreateFileList(&l), 0);
    EXPECT_EQ(l.valid_file_count, 100);
    EXPECT_EQ(Rows(l), (Numbers{100, 99, 98, 97, 96}));
    EXPECT_EQ(l.selected_row, 1);
    EXPECT_FALSE(l.draw_upper_allow);
    EXPECT_TRUE(l.draw_lower_allow);
    for (int i = 0; i < l.list_count; ++i) EXPECT_EQ(l.fileinfo[i].index, i);
    EXPECT_EQ(l.fileinfo[0].size, 1100);
    EXPECT_EQ(l.fileinfo[0].dt, 1715934615 + 6000);

    Select(50);
    ASSERT_EQ(CreateFileList(&l), 0);
    EXPECT_EQ(Rows(l), (Numbers{52, 51, 50, 49, 48}));
    EXPECT_EQ(l.selected_row, 3);
    EXPECT_TRUE(l.draw_upper_allow && l.draw_lower_allow);

    Select(1);
    ASSERT_EQ(CreateFileList(&l), 0);
    EXPECT_EQ(Rows(l), (Numbers{5, 4, 3, 2, 1}));
    EXPECT_EQ(l.selected_row, 5);
    EXPECT_TRUE(l.draw_upper_allow);
    EXPECT_FALSE(l.draw_lower_allow);
}

TEST_F(FileListTest, FewFilesAreListedFromTheNewest) {
    MakeIndex(5);
    Select(1);
    SDC_FileList_t l{};
    ASSERT_EQ(CreateFileList(&l), 0);
    EXPECT_EQ(Rows(l), (Numbers{5, 4, 3, 2, 1}));
    EXPECT_EQ(l.selected_row, 5);
    EXPECT_FALSE(l.draw_upper_allow || l.draw_lower_allow);

    DeleteAllIndex();
    MakeIndex(1);
    ASSERT_EQ(CreateFileList(&l), 0);
    EXPECT_EQ(Rows(l), (Numbers{1}));
    EXPECT_EQ(l.selected_row, 1);

    DeleteAllIndex();
    MakeIndex(6);
    Select(3);
    ASSERT_EQ(CreateFileList(&l), 0);
    EXPECT_EQ(Rows(l), (Numbers{5, 4, 3, 2, 1}));
    EXPECT_EQ(l.selected_row, 3);
    EXPECT_TRUE(l.draw_upper_allow);
    EXPECT_FALSE(l.draw_lower_allow);
}

TEST_F(FileListTest, NoFilesGiveAnEmptyList) {
    info_.NumOfFiles = 0;
    SDC_FileList_t l{};
    testing::internal::CaptureStdout();
    EXPECT_EQ(CreateFileList(&l), -1);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("index_count_valid == 0"), std::string::npos);
    EXPECT_EQ(l.list_count, 0);
    info_.NumOfFiles = -1;  // an index file without entries
    EXPECT_EQ(CreateFileList(&l), -1);
    EXPECT_EQ(l.valid_file_count, 0);
    drc->sdinfo = nullptr;
    EXPECT_EQ(CreateFileList(&l), -1);
}

TEST_F(FileListTest, CursorStopsAtBothEnds) {
    MakeIndex(3);
    EXPECT_EQ(CursorMove(CUR_UP), -1) << "already on the newest";
    EXPECT_EQ(info_.CurrentSelectedIndex, GetMostRecentIndex());
    testing::internal::CaptureStdout();
    EXPECT_EQ(CursorMove(CUR_DOWN), 0);
    EXPECT_EQ(CursorMove(CUR_DOWN), 0);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("DEBUG : FileListSel = 1\n"), std::string::npos);
    EXPECT_EQ(FileListSel, 1);
    EXPECT_EQ(info_.CurrentSelectedIndex, GetOldestIndex());
    EXPECT_EQ(CursorMove(CUR_DOWN), -1) << "already on the oldest";
    EXPECT_EQ(CursorMove(CUR_UP), 0);
    EXPECT_EQ(FileListSel, 2);
    EXPECT_EQ(CursorSet(7), 0);
    EXPECT_EQ(FileListSel, 7);
}

namespace {

class FileListScreenTest : public FileListTest {
protected:
    void SetUp() override {
        FileListTest::SetUp();
        OSDInit();
        dfb_osd_text_trace = &texts_;
    }
    void TearDown() override {
        dfb_osd_text_trace = nullptr;
        OSDClose();
        FileListTest::TearDown();
    }
    bool Drawn(const std::string& prefix) const {
        for (const auto& t : texts_) {
            if (t.text.rfind(prefix, 0) == 0) return true;
        }
        return false;
    }
    std::vector<dfb_osd_text_record> texts_;
};

}  // namespace

TEST_F(FileListScreenTest, EnteringTheListDrawsSummaryClockAndRows) {
    MakeIndex(8);
    info_.diskspace = 7800;
    info_.availablesize = 6123;
    testing::internal::CaptureStdout();
    EXPECT_EQ(FileListMode(1), 0);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Debug :NumOfFiles=8 EventFiles=0 valid_file_num=8\n"), std::string::npos);
    EXPECT_EQ(drc->AppState.load(), STATE_LIST);
    EXPECT_TRUE(Drawn("SD CARD INFO"));
    EXPECT_TRUE(Drawn(" USED     : 1677MB"));
    EXPECT_TRUE(Drawn(" AVAILABLE: 6123MB"));
    EXPECT_TRUE(Drawn(" TOTAL    : 7800MB"));
    EXPECT_TRUE(Drawn("TOTAL FILE:    8FILES"));
    EXPECT_TRUE(Drawn("FILE00008.ASF"));
    EXPECT_TRUE(Drawn("FILE00004.ASF"));
    EXPECT_FALSE(Drawn("FILE00003.ASF"));
    EXPECT_EQ(FileListMode(0), 0);
    EXPECT_EQ(drc->AppState.load(), STATE_IDLE);
}

TEST_F(FileListScreenTest, EnteringWithoutFilesSaysSo) {
    testing::internal::CaptureStdout();
    FileListMode(1);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("No ASF file found in the SD Card"), std::string::npos);
    EXPECT_EQ(FileListSel, -1);
    EXPECT_FALSE(Drawn("FILE"));
    EXPECT_EQ(drc->AppState.load(), STATE_LIST);
}

TEST_F(FileListScreenTest, WithoutACardRecordTheSummarySaysNoCard) {
    drc->sdinfo = nullptr;
    testing::internal::CaptureStdout();
    EXPECT_EQ(FileListMode(1), 0);
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(Drawn("NO SD CARD"));
    EXPECT_FALSE(Drawn("FILE"));
    EXPECT_EQ(drc->AppState.load(), STATE_LIST);
}

TEST_F(FileListScreenTest, CursorRedrawsOnlyWhileTheListIsShown) {
    MakeIndex(8);
    CursorMove(CUR_DOWN);
    EXPECT_TRUE(texts_.empty()) << "idle: nothing drawn";
    drc->AppState = STATE_LIST;
    for (int i = 0; i < 3; ++i) CursorMove(CUR_DOWN);
    // Selection on FILE00004 with four newer files: rows 6..2, selected on row 3.
    const dfb_osd_text_record* sel = nullptr;
    for (const auto& t : texts_) {
        if (t.color.r == 0) sel = &t;
    }
    ASSERT_NE(sel, nullptr);
    EXPECT_EQ(sel->text.substr(0, 13), "FILE00004.ASF");
    EXPECT_EQ(sel->y, 3 * 22 + 25);
    texts_.clear();
    drc->AppState = STATE_PREVIEW;
    CursorSet(4);
    EXPECT_TRUE(Drawn("FILE00006.ASF"));
}

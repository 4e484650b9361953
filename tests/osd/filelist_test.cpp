// The file list window's layout: which five files of the index it shows,
// which row is selected and when the arrows appear.
#include <gtest/gtest.h>

#include "osd/osd_filelist.h"

namespace {

struct Expect {
    int first, rows, selected_row;
    bool up, down;
};

void CheckLayout(int total, int before, int after, Expect e) {
    SCOPED_TRACE(testing::Message() << total << " files, " << before << " before, " << after << " after");
    const FileListLayout l = ComputeFileListLayout(total, before, after);
    EXPECT_EQ(l.first, e.first);
    EXPECT_EQ(l.rows, e.rows);
    EXPECT_EQ(l.selected_row, e.selected_row);
    EXPECT_EQ(l.up, e.up);
    EXPECT_EQ(l.down, e.down);
}

}  // namespace

TEST(FileListLayout, FiveFilesOrFewerAreAllShownWithoutArrows) {
    CheckLayout(1, 0, 0, {0, 1, 1, false, false});
    CheckLayout(5, 0, 4, {0, 5, 1, false, false});
    CheckLayout(5, 2, 2, {2, 5, 3, false, false});
    CheckLayout(5, 4, 0, {4, 5, 5, false, false});
    CheckLayout(0, 0, 0, {0, 0, 0, false, false});
}

TEST(FileListLayout, SixFilesScrollByOne) {
    CheckLayout(6, 0, 4, {0, 5, 1, false, true});  // newest
    CheckLayout(6, 2, 3, {2, 5, 3, false, true});
    CheckLayout(6, 3, 2, {2, 5, 3, true, false});
    CheckLayout(6, 4, 0, {4, 5, 5, true, false});  // oldest
}

TEST(FileListLayout, LongListsKeepTheSelectionOnRowThreeAwayFromTheEnds) {
    CheckLayout(100, 0, 4, {0, 5, 1, false, true});  // newest
    CheckLayout(100, 1, 4, {1, 5, 2, false, true});
    CheckLayout(100, 2, 4, {2, 5, 3, false, true});
    CheckLayout(100, 4, 4, {2, 5, 3, true, true});   // middle
    CheckLayout(100, 4, 2, {2, 5, 3, true, false});
    CheckLayout(100, 4, 1, {3, 5, 4, true, false});
    CheckLayout(100, 4, 0, {4, 5, 5, true, false});  // oldest
}

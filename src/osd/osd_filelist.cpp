#include "osd/osd_filelist.h"

#include <algorithm>

#include "osd/FileListView.h"

FileListLayout ComputeFileListLayout(int total, int before, int after) {
    FileListLayout l{};
    if (total <= 0) return l;
    if (total <= kFileListRows) {
        l.first = before;
        l.rows = total;
    } else {
        l.rows = kFileListRows;
        if (before >= 3) {
            l.up = true;
            l.first = 2;
        } else {
            l.first = before;
        }
        if (after >= 3) {
            l.down = true;
        } else if (after == 1) {
            l.first = 3;
        } else if (after == 0) {
            l.first = 4;
        }
        // The window never starts above the newest file.
        l.first = std::min(l.first, before);
    }
    l.selected_row = l.first + 1;
    return l;
}

// What the card summary and the file list windows show. The application fills
// these records from its card record and the recorded-file index; the display
// draws them and knows nothing of the card.
#pragma once

#include <cstdint>
#include <ctime>

inline constexpr int kFileListRows = 5;

// The card summary window's figures (DispSDCInfo).
struct SDC_InfoView {
    int32_t diskspace;      // file system size, MB
    int32_t availablesize;  // free space, MB
    int32_t NumOfFiles;
    int32_t EventFiles;
};

// One row of the file list window.
struct SDC_FileRowView {
    int32_t index;        // row number from 0
    int32_t size;         // KiB
    time_t dt;            // the file's time
    char file_name[14];   // the 13-character file name
};

// Rows of the file list window (DispFileList).
struct SDC_FileList_t {
    int32_t valid_file_count;
    int32_t list_count;                         // rows filled, at most kFileListRows
    SDC_FileRowView fileinfo[kFileListRows];    // row i + 1
    int32_t selected_row;                       // 1-based; 0 none
    int32_t draw_upper_allow;                   // newer files above the window
    int32_t draw_lower_allow;                   // older files below the window
};

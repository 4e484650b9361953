// Which part of the recorded-file index the five-row file list shows.
#pragma once

// The window over the index around the selected file.
struct FileListLayout {
    int first;         // entries between the first row and the selected file (newer side)
    int rows;          // rows filled
    int selected_row;  // 1-based row of the selected file
    bool up;           // newer files hidden above
    bool down;         // older files hidden below
};

// total: number of files; before / after: files on the newer / older side
// of the selected one, each counted up to 4. Five files or fewer are all
// shown from the newest; with more, the selected file stays on row 3 except
// near the two ends of the list.
FileListLayout ComputeFileListLayout(int total, int before, int after);

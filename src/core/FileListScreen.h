// The file-list screen: the card summary and five rows of the recorded-file
// index around the selected file, with a cursor over the index. Fills the
// display's view records from the card record (drc->sdinfo) and the index.
//
// Runs on the main thread (and the mode-control functions it calls).
#pragma once

#include "osd/FileListView.h"

struct SDC_Info_t;

// Cursor directions.
enum : int { CUR_UP = 0, CUR_DOWN = 1 };

// Recording number of the file under the cursor (-1: none).
extern int FileListSel;

// The summary window's figures of a card record.
SDC_InfoView CardSummaryOf(const SDC_Info_t& info);

// Fills list from the recorded-file index around the card's selected file
// (drc->sdinfo). 0, or -1 without files (valid_file_count 0).
int CreateFileList(SDC_FileList_t* list);
// Selects the newer (CUR_UP) or older (CUR_DOWN) neighbour when there is
// one, and redraws the list in the list and preview states. 0 when the
// selection moved, -1 when it could not.
int CursorMove(int dir);
// Sets the selection number and redraws the list in the list and preview
// states; 0.
int CursorSet(int pos);
// Enters (1) or leaves (0) the file-list screen; 0.
int FileListMode(int sw);

#include "core/FileListScreen.h"

#include <cstdio>
#include <ctime>

#include "core/DR_common.h"
#include "core/DR_shared.h"
#include "osd/dfb_osd_api.h"
#include "osd/osd_filelist.h"
#include "storage/SDFunc.h"
#include "storage/indexf.h"

int FileListSel = -1;

namespace {

void RedrawListIfShown() {
    if (!drc) return;
    const DrState st = drc->AppState.load();
    if (st != STATE_LIST && st != STATE_PREVIEW) return;
    SDC_FileList_t list{};
    CreateFileList(&list);
    DispFileList(&list);
}

}  // namespace

SDC_InfoView CardSummaryOf(const SDC_Info_t& info) {
    return SDC_InfoView{info.diskspace, info.availablesize, info.NumOfFiles, info.EventFiles};
}

int CreateFileList(SDC_FileList_t* list) {
    if (!list) return -1;
    *list = SDC_FileList_t{};
    SDC_Info_t* info = drc ? drc->sdinfo : nullptr;
    if (!info) return -1;
    list->valid_file_count = info->NumOfFiles;
    if (info->NumOfFiles < 0) {
        list->valid_file_count = 0;
        return -1;
    }
    if (info->NumOfFiles == 0) {
        std::printf("index_count_valid == 0\n");
        return -1;
    }
    IndexFileStr* sel = info->CurrentSelectedIndex;
    if (!sel) {
        // Nothing selected yet: the cursor starts on the newest file.
        sel = GetMostRecentIndex();
        info->CurrentSelectedIndex = sel;
        if (!sel) {
            list->valid_file_count = 0;
            return -1;
        }
    }
    int before = 0, after = 0;
    for (IndexFileStr* e = sel->prev; e && before < 4; e = e->prev) ++before;
    for (IndexFileStr* e = sel->next; e && after < 4; e = e->next) ++after;

    const FileListLayout l = ComputeFileListLayout(info->NumOfFiles, before, after);
    IndexFileStr* e = sel;
    for (int i = 0; i < l.first; ++i) e = e->prev;
    int row = 0;
    for (; row < l.rows && e; ++row, e = e->next) {
        SDC_FileRowView& r = list->fileinfo[row];
        r.index = row;
        r.size = e->FileSize;
        r.dt = static_cast<time_t>(e->Time);
        std::snprintf(r.file_name, sizeof r.file_name, "%.13s", e->FileName);
    }
    list->list_count = row;
    list->selected_row = l.selected_row;
    list->draw_upper_allow = l.up;
    list->draw_lower_allow = l.down;
    return 0;
}

int CursorMove(int dir) {
    int ret = -1;
    SDC_Info_t* info = drc ? drc->sdinfo : nullptr;
    IndexFileStr* cur = info ? info->CurrentSelectedIndex : nullptr;
    if (cur) {
        IndexFileStr* to = dir == CUR_UP ? cur->prev : (dir == CUR_DOWN ? cur->next : nullptr);
        if (to) {
            info->CurrentSelectedIndex = to;
            FileListSel = GetIndexNum(to->FileName);
            std::printf("DEBUG : FileListSel = %d\n", FileListSel);
            ret = 0;
        }
    }
    RedrawListIfShown();
    GetElapsedTime(1);
    return ret;
}

int CursorSet(int pos) {
    FileListSel = pos;
    RedrawListIfShown();
    GetElapsedTime(1);
    return 0;
}

int FileListMode(int sw) {
    if (sw == 1 && drc) {
        SDC_Info_t* info = drc->sdinfo;
        if (info) {
            info->NumOfFiles = GetNumOfIndex();
            info->EventFiles = GetNumOfEventIndex();
            std::printf("Debug :NumOfFiles=%d EventFiles=%d valid_file_num=%d\n", info->NumOfFiles,
                        info->EventFiles, GetNumOfIndex());
        }
        if (info) {
            const SDC_InfoView summary = CardSummaryOf(*info);
            DispSDCInfo(&summary);
        } else {
            DispSDCInfo(nullptr);
        }
        const time_t now = std::time(nullptr);
        DispClock(&now);
        SDC_FileList_t list{};
        if (!info || info->NumOfFiles <= 0) {
            std::printf("No ASF file found in the SD Card\n");
            FileListSel = -1;
        } else {
            CreateFileList(&list);
        }
        DispFileList(&list);
        drc->AppState = STATE_LIST;
    } else if (sw == 0 && drc) {
        drc->AppState = STATE_IDLE;
    }
    GetElapsedTime(1);
    return 0;
}

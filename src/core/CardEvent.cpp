#include "core/CardEvent.h"

#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "config/setup_ini.h"
#include "core/AppGlobals.h"
#include "core/AppParams.h"
#include "core/DR_common.h"
#include "core/HostQueue.h"
#include "core/Indicator.h"
#include "core/InputHandler.h"
#include "core/ModeControl.h"
#include "core/RecorderRun.h"
#include "osd/dfb_osd_api.h"
#include "platform/BoardPath.h"
#include "platform/RunProgram.h"
#include "storage/SDFunc.h"
#include "storage/indexf.h"
#include "storage/sdcheck.h"

using namespace app;

namespace {

constexpr const char* kKeyFile = "/usr/local/sbin/notifysdevent_key";
constexpr const char* kPartition1 = "/mnt/mmc0_p1";
constexpr const char* kPartition2 = "/mnt/mmc0_p2";
constexpr const char* kMicroSD = "/mnt/mmc1_p1";

// Only the newest event from before start-up counts.
bool g_first_poll = true;

// A field of the event as text: up to its first zero byte or its end.
template <size_t N>
std::string_view Field(const char (&f)[N]) {
    return std::string_view(f, strnlen(f, N));
}

bool IsMount(const char (&mntdir)[64], const char* mount) { return Field(mntdir) == mount; }

// "<text> [<mount directory>]"
void PrintWithMount(const char* text, const char (&mntdir)[64]) {
    const std::string_view dir = Field(mntdir);
    std::printf("%s [%.*s]\n", text, static_cast<int>(dir.size()), dir.data());
}

// The card-event queue, created if the service has not made it yet; -1 when
// it cannot be had.
int CardEventQueue() {
    const key_t key = ftok(BoardPath(kKeyFile).c_str(), 'm');
    if (key == static_cast<key_t>(-1)) return -1;
    return msgget(key, IPC_CREAT | 0666);
}

int QueuedMessages(int qid) {
    msqid_ds ds{};
    if (msgctl(qid, IPC_STAT, &ds) != 0) return 0;
    return static_cast<int>(ds.msg_qnum);
}

// A failed insertion: no card in use, the no-card screen shown now and once
// more by the main loop.
void EnterNoCardState(const char* line) {
    drc->sdinfo->index = -1;
    print_error_state = 1;
    DispNoSD_Done = 0;
    std::printf("%s\n", line);
    drc->AppState = STATE_NOSD;
    ShowNoCardScreen();
}

bool InMode(DrState s) {
    return s == STATE_TRANSCODE || s == STATE_REC || s == STATE_PLAY || s == STATE_PREVIEW;
}

void CheckSetupBit(int rc) {
    if (rc >= 4 && rc <= 6) {
        std::printf("DiViv : Read INI File\n");
        ReadINIFile();
    }
}

// Partition 1 of a writable card: check it, format it when asked, take it
// into use.
int TakeInsertedCard(int mounted) {
    const int rc = CheckSDC();
    CheckSetupBit(rc);
    if ((rc & 3) == 1) {
        print_error_state = 1;
        DR_SYSLOG(DR_ERR_FATAL, "Fatal error is found in SD memory card.", 0);
        drc->sdinfo->index = -1;
        std::printf("DiViv : SD CARD Error! (at poll_event)\n");
        drc->SDErrorState = drc->SD_Full = 1;
        SetLED(1, 3, 3);
        return 0;
    }
    if ((rc & 3) == 2) {
        std::printf("DiViv : Formatting SD CARD!\n");
        SetLED(3, 3, 0);
        diviv::RunProgram({"./formatsd.sh"});
    }
    SetLED(1, 0, 0);
    if (GetSDCap(kPartition1, drc->sdinfo) < 1) {
        EnterNoCardState("DiViv : SD CARD IS NOT FOUND !");
        SetLED(1, 0, 3);
        return 0;
    }
    VersionFileCheck();
    const int list = GetFileList(kPartition1, drc->sdinfo, "");
    const uint8_t full = static_cast<uint8_t>(isSD_Full());
    drc->SDErrorState = drc->SD_Full = full;
    const std::string setup = SetupIniPath();
    if (FILE* f = std::fopen(setup.c_str(), "r")) {
        std::fclose(f);
    } else {
        CreateSetupIni(setup.c_str());
    }
    if (list != 0 && IsPowerDown()) {
        AutoRecodeEnable = 0;
        return -1;
    }
    std::printf("DiViv : Clear NoSD [msd=%d]\n", mounted);
    ClearMenu();
    drc->AppState = STATE_IDLE;
    if (drc->auto_rec == 0) AutoRecodeEnable = 1;
    SetLED(1, 0, 0);
    return list;
}

// An idle recorder without a card in use (the card was pulled while a mode
// ran, and the mode has ended since) takes the card like one without a card;
// otherwise it would refuse every recording until the next start.
bool WantsCard(DrState state) {
    return state == STATE_NOSD || state == STATE_INIT || (state == STATE_IDLE && drc->sdinfo->index < 0);
}

int InsertPartition1() {
    const DrState state = drc->AppState.load();
    if (!WantsCard(state)) {
        std::printf("DiViv : SD CARD IS ALREADY INSERTED !\n");
        return 0;
    }
    std::printf("DiViv : SD CARD IS INSERTED ! [partition1]\n");
    drc->sdinfo->index = 0;
    const int mounted = CheckSD(1);
    if (mounted == 1) return TakeInsertedCard(mounted);
    if (mounted == 0) {
        CheckSetupBit(CheckSDC());
        EnterNoCardState("DiViv : SD CARD IS READ ONLY !");
    } else {
        EnterNoCardState("DiViv : No SD");
    }
    drc->SD_Full = drc->SDErrorState = 1;
    SetLED(1, 3, 3);
    return 0;
}

const char* CarrierName(MobileType t) {
    switch (t) {
        case MOBILE_DOCOMO: return "NTT_DOCOMO";
        case MOBILE_AU: return "AU_KDDI";
        case MOBILE_SOFTBANK: return "SOFTBANK";
        default: return nullptr;
    }
}

int InsertMicroSD() {
    std::printf("DiViv : microSD CARD IS INSERTED !\n");
    if (drc->AppState.load() != STATE_IDLE) {
        std::printf("DiViv : Debug :: microSD CARD Error (STATE is not IDLE !)\n");
        return -4;
    }
    if (skip_microSD_event.load()) {
        skip_microSD_event = 0;
        std::printf("DiViv : Debug :: microSD CARD Error (Inserted during init sequence !)\n");
        return -5;
    }
    drc->transcode_3gp_path[0] = '\0';
    drc->transcode_fullpath3gp_fname[0] = '\0';
    SDC_Info_t* micro = drc->micro_sdinfo;
    if (GetSDCap(kMicroSD, micro) < 0) {
        micro->index = -1;
        std::printf("DiViv : microSD CARD IS NOT FOUND !\n");
        return 0;
    }
    std::printf("DiViv : microSD :: mounted on %s [Capacity=%d Available=%d]\n", micro->path_name,
                micro->diskspace, micro->availablesize);
    if (micro->availablesize <= 9) {
        std::printf("DiViv : Not enough free space in the microSD card\n");
        micro->diskspace = micro->availablesize = 0;
        micro->path_name[0] = '\0';
        return 0;
    }
    first_time_transcode = 1;
    std::printf("DiViv : microSD CARD IS AVAILABLE  !\n");
    drc->MobileInfo = DetectMobileCarrier(kMicroSD);
    const char* name = CarrierName(drc->MobileInfo);
    if (name == nullptr) {
        std::printf("DiViv : ### Mobile Carrier Type is UNKNOWN ###\n");
        drc->TranscodeRequest = 0;
        return 0;
    }
    std::printf("DiViv : ### Mobile Carrier Type is %s ###\n", name);
    if (drc->AppState.load() == STATE_IDLE) drc->TranscodeRequest = 1;
    return 0;
}

int Inserted(const notifysdevent_t& ev) {
    if (IsMount(ev.mntdir, kPartition1)) return InsertPartition1();
    if (IsMount(ev.mntdir, kMicroSD)) return InsertMicroSD();
    if (IsMount(ev.mntdir, kPartition2)) {
        std::printf("DiViv : SD CARD IS INSERTED ! [partition2]\n");
    } else {
        PrintWithMount("DiViv : Unknown Event Detected !", ev.mntdir);
    }
    SetLED(1, 3, 3);
    return 0;
}

void RemovePartition1() {
    std::printf("DiViv : SD CARD IS REMOVED ! [partition1]\n");
    const DrState state = drc->AppState.load();
    if (InMode(state)) DR_SYSLOG(DR_ERR_FATAL, "SD memory card is inadequately removed.", 1);
    drc->SDErrorState = drc->SD_Full = 0;
    print_error_state = 1;
    // A running mode's thread walks the index list without a lock (the
    // recording writer at each file change): its entries are not freed under
    // it. The next insertion replaces the list with the card's.
    ClearCardRecord(InMode(state));
    char cwd[256] = {};
    if (getcwd(cwd, sizeof cwd) == nullptr) cwd[0] = '\0';
    std::printf("DEBUG : Current DIR is %s\n", cwd);
    if (state == STATE_IDLE) {
        if (drc->MonitorStart.load()) {
            MonitorControl(0);
            GetElapsedTime(1);
        }
        drc->AppState = STATE_NOSD;
        std::printf("DiViv : Disp NoSD\n");
        ShowNoCardScreen();
    }
}

int Removed(const notifysdevent_t& ev) {
    if (IsMount(ev.mntdir, kMicroSD)) {
        std::printf("DiViv : microSD CARD IS REMOVED !\n");
        drc->microSD_Full = 0;
        if (drc->AppState.load() == STATE_TRANSCODE) {
            DR_SYSLOG(DR_ERR_FATAL, "SD memory card is inadequately removed.", 1);
        }
        drc->TranscodeRequest = 0;
        return 0;
    }
    if (IsMount(ev.mntdir, kPartition1)) {
        RemovePartition1();
    } else if (IsMount(ev.mntdir, kPartition2)) {
        std::printf("DiViv : SD CARD IS REMOVED ! [partition2]\n");
    } else {
        PrintWithMount("DiViv : Unknown REMOVE Event Detected !", ev.mntdir);
    }
    SetLED(1, 0, 3);
    return 0;
}

void PrintEvent(const notifysdevent_t& ev) {
    std::printf("type   : %ld\n", static_cast<long>(ev.type));
    std::printf("result : %ld\n", static_cast<long>(ev.result));
    const std::pair<const char*, std::string_view> fields[] = {{"devname", Field(ev.devname)},
                                                               {"slotnum", Field(ev.slotnum)},
                                                               {"mntdir ", Field(ev.mntdir)},
                                                               {"format ", Field(ev.format)}};
    for (const auto& [name, text] : fields) {
        std::printf("%s: %.*s\n", name, static_cast<int>(text.size()), text.data());
    }
}

}  // namespace

void ClearCardRecord(bool keep_index_list) {
    if (!keep_index_list) DeleteAllIndex();
    SDC_Info_t* info = drc->sdinfo;
    info->index = -1;
    info->CurrentSelectedIndex = nullptr;
    info->MostRecentIndex = info->OldestIndex = nullptr;
    info->NumOfFiles = 0;
    info->EventFiles = 0;
}

MobileType DetectMobileCarrier(const char* mount) {
    static constexpr std::pair<const char*, MobileType> kHandsetFolders[] = {
        {"SD_VIDEO", MOBILE_DOCOMO},
        {"PRIVATE/AU", MOBILE_AU},
        {"PRIVATE/MYFOLDER", MOBILE_SOFTBANK},
    };
    const std::string root = BoardPath(mount);
    for (const auto& [folder, type] : kHandsetFolders) {
        struct stat st {};
        if (stat((root + "/" + folder).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return type;
    }
    return MOBILE_NONE;
}

int HandleCardEvent(const void* text, size_t length) {
    notifysdevent_t ev;
    if (text == nullptr || length != sizeof ev) return -1;
    std::memcpy(&ev, text, sizeof ev);
    PrintEvent(ev);
    switch (ev.type) {
        case kCardRemoved: return Removed(ev);
        case kCardInserted: return Inserted(ev);
        case kCardPanic:
            std::printf("DiViv : FAT FileSystem Panic ! --> Reboot the system\n");
            DR_SYSLOG(DR_ERR_FATAL, "Fatal error is found in SD memory card.", 1);
            return 0;
        default:
            std::printf("DiViv : Unknown Event Detected ! [event type=%ld]\n", static_cast<long>(ev.type));
            return 0;
    }
}

int poll_event(int /*flag*/) {
    const int qid = CardEventQueue();
    if (qid < 0) {
        std::printf("fail to create sysv queue key\n");
        return -2;
    }
    notifysdevent_t ev{};
    if (g_first_poll) {
        g_first_poll = false;
        // Stops when nothing could be taken (messages of another type only).
        for (int queued = QueuedMessages(qid); queued >= 2;) {
            g_MSG_Recv(qid, &ev, sizeof ev, 1, IPC_NOWAIT);
            const int left = QueuedMessages(qid);
            if (left >= queued) break;
            queued = left;
            std::printf("DiViv : DEBUG :: !!! skip event message !!!\n");
        }
    }
    if (QueuedMessages(qid) == 0) return -1;
    // A message of another length is taken off the queue and dropped, so
    // that it cannot hold up the events behind it.
    if (g_MSG_Recv(qid, &ev, sizeof ev, 1, IPC_NOWAIT) != 1) return -1;
    return HandleCardEvent(&ev, sizeof ev);
}

int PollCardEvent() {
    const int result = poll_event(0);
    if (result < -2) std::printf("error detect %d\n", result);
    return result;
}

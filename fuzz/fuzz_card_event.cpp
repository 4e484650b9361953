// One message from the card-watching service (a 264-byte event: type,
// result, device, slot, mount folder and format texts that need not end in
// a zero byte), handled in whatever state the recorder is in. The input is
// the message text followed by one byte that picks the state. Any text of
// another length is refused; the record of the card in use stays
// consistent: no card, or the index counts it holds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "FuzzBoard.h"
#include "core/AppGlobals.h"
#include "core/CardEvent.h"
#include "core/DR_shared.h"
#include "storage/indexf.h"

namespace {

SDC_Info_t g_sd, g_micro;

dr_common_t* Record() {
    static std::unique_ptr<dr_common_t> dr;
    if (!dr) {
        ::unsetenv("WDT_ENABLE");  // a fatal log line must not end the process
        dr = NewDrCommon();
        drc = dr.get();
    }
    return dr.get();
}

constexpr DrState kStates[] = {STATE_INIT, STATE_IDLE, STATE_REC,   STATE_LIST,  STATE_PLAY,
                               STATE_CFG,  STATE_PREVIEW, STATE_CLOSE, STATE_NOSD, STATE_TRANSCODE};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    dr_common_t* dr = Record();
    const uint8_t pick = data[size - 1];
    g_sd = SDC_Info_t{};
    g_micro = SDC_Info_t{};
    g_sd.index = (pick & 0x10) ? 1 : -1;  // a card in use, or none
    dr->sdinfo = &g_sd;
    dr->micro_sdinfo = &g_micro;
    dr->AppState = kStates[(pick & 0x0F) % std::size(kStates)];
    dr->MonitorStart = 0;
    app::skip_microSD_event = (pick & 0x20) ? 1 : 0;

    const int rc = HandleCardEvent(data, size - 1);
    if (size - 1 != sizeof(notifysdevent_t) && rc != -1) __builtin_trap();  // only whole events are handled
    if (g_sd.index < 0 && (g_sd.NumOfFiles != 0 || g_sd.MostRecentIndex != nullptr)) __builtin_trap();
    DeleteAllIndex();
    return 0;
}

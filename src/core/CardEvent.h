// Card insertion and removal events reported by the card-watching service.
//
// The service mounts and unmounts the SD card's two partitions
// ("/mnt/mmc0_p1", "/mnt/mmc0_p2") and the microSD card ("/mnt/mmc1_p1") and
// reports each insertion, removal and file-system panic as a message of type
// 1 on the System V queue keyed by ftok("/usr/local/sbin/notifysdevent_key",
// 'm'). The main thread alone polls and handles them, between commands.
//
// The microSD card's handset carrier is told by the folder the handset keeps
// its videos in, looked for in the card's root in this order: "SD_VIDEO"
// (NTT DoCoMo), "PRIVATE/AU" (au), "PRIVATE/MYFOLDER" (SoftBank). A card
// with none of them is of an unknown carrier and is not used for transcoding.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/DR_shared.h"

// One event, the text of a message of type 1. The service's "long" fields
// are 32 bits wide (the board is 32-bit). The strings need not end in a zero
// byte: readers stop at the field's end.
struct notifysdevent_t {
    int32_t type;    // 1 inserted, 2 removed, 3 file-system panic
    int32_t result;  // result reported by the service
    char devname[64];
    char slotnum[64];
    char mntdir[64];  // "/mnt/mmc0_p1", "/mnt/mmc0_p2" or "/mnt/mmc1_p1"
    char format[64];  // file-system format
};
static_assert(sizeof(notifysdevent_t) == 264);

inline constexpr int32_t kCardInserted = 1;
inline constexpr int32_t kCardRemoved = 2;
inline constexpr int32_t kCardPanic = 3;

// Receives and handles one event without waiting. On the first call of the
// run the older of the waiting events are dropped ("DiViv : DEBUG :: !!! skip
// event message !!!" each) so that only the newest counts. Returns 0 (or
// what the event's handling returns), -1 when no well-formed event was
// waiting (a malformed one is taken off the queue and dropped), -2 when the
// queue cannot be had ("fail to create sysv queue key"). `flag` is unused.
int poll_event(int flag);

// poll_event as the main loop and the REC key call it: a failure other than
// "no event" (-1) or "no queue" (-2, printed by poll_event) is printed as
// "error detect %d". Returns poll_event's result.
int PollCardEvent();

// Handles the text of one received message: prints the event's fields and
// acts on it. A text that is not exactly one notifysdevent_t long is dropped
// with -1. Needs the shared record (drc) and the board.
int HandleCardEvent(const void* text, size_t length);

// The handset carrier of the microSD card mounted at the board path `mount`
// (see above); MOBILE_NONE when it cannot be told.
MobileType DetectMobileCarrier(const char* mount);

// Forgets the card in use: clears the recorded-file index (unless
// `keep_index_list`: a mode's thread still walks it) and resets the card
// record (index -1, no selection, counts 0).
void ClearCardRecord(bool keep_index_list = false);

// System V message queues: thin wrappers, the recorder's six worker queues,
// and fetching one host command with its acknowledgement.
//
// A host command is a message of type 1 whose text is exactly 64 bytes
// (commsg_t): word 0 the command, word 1 the integer parameter, or bytes
// 4..63 a text parameter ending with a zero byte. The reply carries the
// command echoed (40 is answered with 41) and zeros.
#pragma once

#include <cstddef>
#include <cstdint>

// Host queue ids from the command line (0 until taken): commands arrive on
// DRM_DOWN_QID, replies go to DRM_UP_QID; the DRA pair is passed on to
// recording and transcode control.
extern int32_t DRM_DOWN_QID, DRM_UP_QID, DRA_DOWN_QID, DRA_UP_QID;

// Text length of every host and worker message.
inline constexpr int kHostMessageSize = 64;

// The queue keyed by ftok(path, 'm') (a null path means "."), created with
// IPC_CREAT and 0660 if needed. Returns its id, -2 if the key cannot be
// made, -1 if the queue cannot be had.
int g_MSG_Create(const char* path);

// Sends `size` text bytes from `data` as a message of `type`. Returns 1 when
// sent, 0 when flag holds IPC_NOWAIT and the queue is full, -1 otherwise.
int g_MSG_Send(int qid, const void* data, int size, long type, int flag);

// Receives one message of `type` into `data` (its `size` text bytes).
// Returns 1 on success; -2 at once if the queue holds no message; 0 if none
// was available under IPC_NOWAIT or the text was not exactly `size` bytes
// long (that message is consumed and dropped); -1 on other failures.
int g_MSG_Recv(int qid, void* data, int size, long type, int flag);

// Removes the queue. Returns 0, or -1.
int g_MSG_Delete(int qid);

// Drains the queue without waiting; returns the first text word of the last
// message drained, or 0. A qid of 0 or less (a queue never created) is left
// alone: that id may belong to another process's queue.
int MSG_Clear(int qid);

// Creates and drains the six worker queues of "/var/tmp/msgque1".."6" into
// drc->APP_QID, CM_QID, VC_QID, VE_QID, AD_QID, VD_QID. The directories must
// exist. On a failure: logged as fatal with the reboot request, LEDs
// (1, 0, 2) from the second queue on, returns -1. Returns 0.
int SetupMessageQue();

// Fetches one host command: up to 10 tries 10 ms apart (so about 100 ms
// with nothing waiting, which paces the main loop). Messages of any type are
// taken off the queue; one of a type other than 1 is dropped with
// "DiViv : Host message of type %ld dropped" and the next is taken at once
// (up to 64 per call, then each costs a try). For commands 72..75, 115 and
// 116 the text parameter is copied into ComStrBuf (64 bytes, cleared first);
// for the others *param receives the integer parameter. The acknowledgement
// is sent before the command runs; while the reply queue is full it is sent
// again every 100 ms for about a second, then dropped with "DiViv : Reply
// queue full, acknowledgement of command %d dropped" (the command still
// runs). Without a host queue (DRM_DOWN_QID 0) it only paces. Returns 1 with
// a command, 0 with none, -1 if the acknowledgement could not be sent.
int GetHostCommand(int* command, int* param, char* ComStrBuf);

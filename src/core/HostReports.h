// The diagnostic reports the supervising host asks for, printed on the
// console: the status, the recordings on the card, the card's capacity and
// the ring buffers. Main thread only.
#pragma once

struct SDC_Files_t;

// Version, state, video and recording settings, the receiver threads, and
// the file being written or played (sections divided by lines of 44 '-').
void PrintStatusReport();
// Every recording of the card's index, newest first, with the newest last.
void PrintRecordingList();
// Mount point, capacity and free space of the card.
void PrintCardInformation();
// Capacity and writable bytes of each ring buffer.
void PrintRingBufferReport();

// Fills the file table (`rows` rows) from the recorded-file index, newest
// first: row i gets index i, the size in KiB, the time and the name; the
// rows after the last file get index -1. Returns the number of files.
int FillFileTable(SDC_Files_t* table, int rows);

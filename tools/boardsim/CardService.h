// The board's card-watching service: mounts and unmounts the SD card (two
// partitions) and the microSD card, and reports each change on the
// card-event queue (ftok of "/usr/local/sbin/notifysdevent_key", 'm').
//
// A mount point of the simulated board is a plain folder. Mounting a card
// fills it with the card's files; unmounting moves them aside into the
// card's own folder under "/sim/cards", so a card pulled and put back keeps
// its files (a file the recorder still holds open stays with the card).
// Whatever was written onto a bare mount point while no card was mounted is
// hidden by the next mount: it is moved to "/sim/cards/hidden".
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>

#include "Scenario.h"

namespace boardsim {

// The card kinds of a `card` step (Step::text).
inline constexpr const char* kCardKindSd = "sd";
inline constexpr const char* kCardKindMicroSd = "microsd";
inline constexpr const char* kCardKindPanic = "panic";
inline constexpr const char* kCardKindEvent = "event";  // one raw event, mounts untouched

class CardService {
public:
    explicit CardService(std::string root) : root_(std::move(root)) {}

    // Takes the mounts the board starts with from its mounts file.
    void Load();

    // Carries out a `card` step. False with a note for the timeline when an
    // event could not be queued or the card could not be mounted.
    bool Apply(const Step& s, std::string* note);

    // The SD card: both partitions are mounted, then reported, partition 2
    // first, so the recorder finds both mounted when it takes the card on
    // partition 1's event. Removal unmounts both and reports partition 1
    // first, the one the recorder writes to.
    bool InsertSd(bool writable, std::string* note);
    bool RemoveSd(std::string* note);
    // The microSD card with a fresh partition table that leaves `free_mb` MB
    // free; `carrier` ("docomo", "au", "softbank" or empty) names the
    // handset whose video folder the card carries.
    bool InsertMicroSd(uint64_t free_mb, const std::string& carrier, std::string* note);
    bool RemoveMicroSd(std::string* note);
    // A file-system panic on partition 1.
    bool Panic(std::string* note);
    // One event of `type` for `mntdir` (device name from the mount point).
    bool Queue(int type, const std::string& mntdir);

private:
    bool WriteMounts() const;
    // The card's files into the mount point "/mnt/<part>" (what lay there
    // hidden), and back into the card's folder.
    bool MountFolder(const std::string& part) const;
    bool UnmountFolder(const std::string& part) const;
    // Queues one event per mount directory, in order; false with a note.
    bool QueueEach(int type, std::initializer_list<const char*> mntdirs, std::string* note);

    std::string root_;
    bool sd_ = false;
    bool sd_writable_ = true;
    bool micro_ = false;
};

}  // namespace boardsim

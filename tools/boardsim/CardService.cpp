#include "CardService.h"

#include <sys/ipc.h>
#include <sys/msg.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "core/CardEvent.h"
#include "sim/SimBoard.h"
#include "sim/SimCardCapacity.h"

namespace boardsim {

namespace {

namespace fs = std::filesystem;

constexpr const char* kCardsDir = "/sim/cards";
constexpr uint64_t kMiB = 1024 * 1024;
constexpr uint64_t kFirstPartitionMb = 4;  // the partition table's alignment gap

// The handset folders a microSD card carries (the recorder tells the
// carrier by them).
const char* CarrierFolder(const std::string& carrier) {
    if (carrier == "docomo") return "SD_VIDEO";
    if (carrier == "au") return "PRIVATE/AU";
    if (carrier == "softbank") return "PRIVATE/MYFOLDER";
    return nullptr;
}

// "/mnt/mmc0_p1" -> "mmc0_p1"
std::string MountName(const std::string& mntdir) { return fs::path(mntdir).filename().string(); }

// "/mnt/mmc0_p1" -> "/dev/mmcblk0p1"
std::string DeviceOf(const std::string& mntdir) {
    const std::string name = MountName(mntdir);
    if (name.size() == 7 && name.compare(0, 3, "mmc") == 0) {
        return std::string("/dev/mmcblk") + name[3] + "p" + name[6];
    }
    return "/dev/" + name;
}

// Moves every entry of `from` into `to` (created), replacing entries of the
// same name there.
bool MoveEntries(const fs::path& from, const fs::path& to) {
    std::error_code ec;
    fs::create_directories(to, ec);
    if (ec) return false;
    bool ok = true;
    for (const auto& e : fs::directory_iterator(from, ec)) {
        const fs::path dest = to / e.path().filename();
        fs::remove_all(dest, ec);
        fs::rename(e.path(), dest, ec);
        ok = ok && !ec;
    }
    return ok && !ec;
}

bool Empty(const fs::path& dir) {
    std::error_code ec;
    return fs::is_empty(dir, ec) || ec;
}

}  // namespace

void CardService::Load() {
    const std::string mounts = diviv::sim::ReadTextFile(root_ + "/proc/mounts");
    std::istringstream in(mounts);
    sd_ = micro_ = false;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("/dev/mmcblk0p1 ", 0) == 0) {
            sd_ = true;
            sd_writable_ = line.find(" rw,") != std::string::npos;
        } else if (line.rfind("/dev/mmcblk1p1 ", 0) == 0) {
            micro_ = true;
        }
    }
}

bool CardService::WriteMounts() const { return diviv::sim::WriteMounts(root_, sd_, sd_writable_, micro_); }

bool CardService::Queue(int type, const std::string& mntdir) {
    const key_t key = ::ftok((root_ + "/usr/local/sbin/notifysdevent_key").c_str(), 'm');
    if (key == static_cast<key_t>(-1)) return false;
    const int qid = ::msgget(key, IPC_CREAT | 0666);
    if (qid < 0) return false;
    struct {
        long mtype;
        notifysdevent_t ev;
    } m{};
    m.mtype = 1;
    m.ev.type = type;
    std::snprintf(m.ev.devname, sizeof m.ev.devname, "%s", DeviceOf(mntdir).c_str());
    std::snprintf(m.ev.slotnum, sizeof m.ev.slotnum, "%c", mntdir.size() > 8 ? mntdir[8] : '0');
    std::snprintf(m.ev.mntdir, sizeof m.ev.mntdir, "%s", mntdir.c_str());
    std::snprintf(m.ev.format, sizeof m.ev.format, "vfat");
    while (::msgsnd(qid, &m, sizeof m.ev, IPC_NOWAIT) != 0) {
        if (errno != EINTR) return false;
    }
    return true;
}

bool CardService::MountFolder(const std::string& part) const {
    std::error_code ec;
    const fs::path mount = root_ + "/mnt/" + part;
    const std::string cards = root_ + kCardsDir;
    bool ok = true;
    if (!Empty(mount)) {
        fs::remove_all(cards + "/hidden/" + part, ec);
        ok = MoveEntries(mount, cards + "/hidden/" + part);
    }
    if (fs::exists(cards + "/" + part)) ok = MoveEntries(cards + "/" + part, mount) && ok;
    return ok;
}

bool CardService::UnmountFolder(const std::string& part) const {
    return MoveEntries(root_ + "/mnt/" + part, root_ + kCardsDir + "/" + part);
}

bool CardService::InsertSd(bool writable, std::string* note) {
    std::error_code ec;
    bool ok = true;
    if (!sd_) {
        const std::string cards = root_ + kCardsDir;
        ok = MountFolder("mmc0_p1");
        ok = MountFolder("mmc0_p2") && ok;
        if (fs::exists(cards + "/mmcblk0")) fs::rename(cards + "/mmcblk0", root_ + "/dev/mmcblk0", ec);
        fs::create_directories(root_ + "/sys/bus/mmc/devices/mmc0:0001", ec);
    }
    sd_ = true;
    sd_writable_ = writable;
    ok = WriteMounts() && ok;
    if (!ok) *note = "card: the SD card could not be mounted whole";
    return QueueEach(kCardInserted, {"/mnt/mmc0_p2", "/mnt/mmc0_p1"}, note) && ok;
}

bool CardService::RemoveSd(std::string* note) {
    std::error_code ec;
    bool ok = true;
    if (sd_) {
        sd_ = false;
        ok = WriteMounts();
        ok = UnmountFolder("mmc0_p1") && ok;
        ok = UnmountFolder("mmc0_p2") && ok;
        const std::string cards = root_ + kCardsDir;
        if (fs::exists(root_ + "/dev/mmcblk0")) fs::rename(root_ + "/dev/mmcblk0", cards + "/mmcblk0", ec);
        fs::remove_all(root_ + "/sys/bus/mmc/devices/mmc0:0001", ec);
    }
    if (!ok) *note = "card: the SD card could not be unmounted whole";
    return QueueEach(kCardRemoved, {"/mnt/mmc0_p1", "/mnt/mmc0_p2"}, note) && ok;
}

bool CardService::InsertMicroSd(uint64_t free_mb, const std::string& carrier, std::string* note) {
    std::error_code ec;
    const fs::path mount = root_ + "/mnt/mmc1_p1";
    bool ok = micro_ || MountFolder("mmc1_p1");
    if (const char* folder = CarrierFolder(carrier)) fs::create_directories(mount / folder, ec);
    // A partition as large as what the card holds plus the free space asked for.
    const uint64_t held_mb = (diviv::sim::SimBytesHeld(mount.string()) + kMiB - 1) / kMiB;
    diviv::sim::SimBoardOptions o;
    o.card_mb = kFirstPartitionMb + held_mb + free_mb;
    o.partitions = {{0x0C, 0}};
    ok = diviv::sim::WriteCardImage(root_ + "/dev/mmcblk1", o) && ok;
    fs::create_directories(root_ + "/sys/bus/mmc/devices/mmc1:0001", ec);
    micro_ = true;
    ok = WriteMounts() && ok;
    if (!ok) *note = "card: the microSD card could not be mounted whole";
    return QueueEach(kCardInserted, {"/mnt/mmc1_p1"}, note) && ok;
}

bool CardService::RemoveMicroSd(std::string* note) {
    std::error_code ec;
    bool ok = true;
    if (micro_) {
        micro_ = false;
        ok = WriteMounts();
        ok = UnmountFolder("mmc1_p1") && ok;
        fs::remove(root_ + "/dev/mmcblk1", ec);
        fs::remove_all(root_ + "/sys/bus/mmc/devices/mmc1:0001", ec);
    }
    if (!ok) *note = "card: the microSD card could not be unmounted whole";
    return QueueEach(kCardRemoved, {"/mnt/mmc1_p1"}, note) && ok;
}

bool CardService::Panic(std::string* note) { return QueueEach(kCardPanic, {"/mnt/mmc0_p1"}, note); }

bool CardService::QueueEach(int type, std::initializer_list<const char*> mntdirs, std::string* note) {
    for (const char* mnt : mntdirs) {
        if (!Queue(type, mnt)) {
            *note = "card event could not be queued";
            return false;
        }
    }
    return true;
}

bool CardService::Apply(const Step& s, std::string* note) {
    if (s.text == kCardKindPanic) return Panic(note);
    if (s.text == kCardKindEvent) return QueueEach(s.param, {s.file.c_str()}, note);
    if (s.text == kCardKindMicroSd) {
        return s.on ? InsertMicroSd(static_cast<uint64_t>(s.value), s.file, note) : RemoveMicroSd(note);
    }
    return s.on ? InsertSd(s.param == 0, note) : RemoveSd(note);
}

}  // namespace boardsim

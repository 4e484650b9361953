#include "storage/sdcheck.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "diviv_version.h"
#include "platform/Board.h"
#include "platform/BoardPath.h"
#include "platform/CardCapacity.h"

const std::array<ReservedName, 6> ReservedNames = {{
    {"DATA", kReservedDir, 0},
    {"System Volume Information", kReservedDir, 0},
    {"Viewer", kReservedDir, 0},
    {"DiVivVer.ini", kReservedFile, 0},
    {"setup.ini", kReservedFile, 1},
    {"SETUP.INI", kReservedFile, 0},
}};

namespace {

constexpr const char* kCardDevice = "/dev/mmcblk0";
constexpr const char* kCardRoot = "/mnt/mmc0_p1";
constexpr const char* kMountScratch = "/var/tmp/mountinfo";
constexpr const char* kVersionFile = "/mnt/mmc0_p1/DiVivVer.ini";

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

bool IsFatType(int type) { return type == 0x06 || type == 0x0B || type == 0x0C; }

// Checks the type of partition `number` (1 or 2); false after reporting an
// illegal type.
bool CheckPartitionType(int number, int type) {
    std::printf("CheckSDC() : Check Partition Type %d\n", number);
    if (type == 0) {
        std::printf("### Can not convert ascii to long\n");
        std::printf("SDCheck() : Error :: Illegal Partition Type Found [%d]\n", type);
        return false;
    }
    if (number == 1) std::printf("### Partition Type is %d\n", type);
    else std::printf("### Partition Type2 is %d\n", type);
    if (!IsFatType(type)) {
        std::printf("SDCheck() : Error :: Illegal Partition Type Found [%d]\n", type);
        return false;
    }
    std::printf("CheckSDC() : Info :: Partition%d is FAT\n", number);
    return true;
}

// The names `ls` shows in the root: sorted, hidden names left out. False
// when the root cannot be listed.
bool ListRoot(std::vector<std::string>* names) {
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(BoardPath(kCardRoot).c_str()), ::closedir);
    if (!dir) return false;
    while (const dirent* e = ::readdir(dir.get())) {
        if (e->d_name[0] == '.') continue;
        names->emplace_back(e->d_name);
    }
    std::sort(names->begin(), names->end());
    return true;
}

struct RootCheck {
    bool ok = true;
    bool setup = false;
    bool data = false;
};

RootCheck CheckRoot() {
    RootCheck r;
    std::printf("CheckSDC() : Get File/Dir List\n");
    std::vector<std::string> names;
    if (!ListRoot(&names)) return r;  // nothing listed: nothing to refuse
    std::printf("CheckSDC() : Check File/Dir List\n");
    for (const std::string& name : names) {
        bool accepted = false;
        for (const ReservedName& row : ReservedNames) {
            if (name != row.name) continue;
            struct stat st {};
            if (::stat(BoardPath(std::string(kCardRoot) + "/" + name).c_str(), &st) != 0) continue;
            const int kind = S_ISDIR(st.st_mode) ? kReservedDir : kReservedFile;
            std::printf(kind == kReservedDir ? "Dir  found [%s]\n" : "File found [%s]\n", name.c_str());
            if (kind != row.kind) {
                std::printf("CheckSDC() : Unknown file/dir found [%d/%d]\n", row.kind, kind);
                continue;
            }
            std::printf("Reserved type matched\n");
            if (row.setup == 1) r.setup = true;
            if (std::strcmp(row.name, "DATA") == 0) {
                r.data = true;
                std::printf("CheckSDC() : Found DATA directory\n");
            }
            accepted = true;
        }
        if (accepted) {
            std::printf("CheckSDC() : [%s] is reserved : OK\n", name.c_str());
        } else {
            std::printf("CheckSDC() : [%s] does not exist in reserved file info : NG\n", name.c_str());
            r.ok = false;
        }
    }
    return r;
}

}  // namespace

const char* VersionFileLine() {
    static const std::string line = [] {
        char text[32];
        std::snprintf(text, sizeof text, "DIVIV_VERSION=%02u.%02u.%02u.%02u\n", (nCurrentAppVersion >> 24) & 0xFF,
                      (nCurrentAppVersion >> 16) & 0xFF, (nCurrentAppVersion >> 8) & 0xFF, nCurrentAppVersion & 0xFF);
        return std::string(text);
    }();
    return line.c_str();
}

int CheckSDStatus() {
    for (const std::string& name : diviv::TheBoard().Card().MmcDevices()) {
        if (name.compare(0, 4, "mmc0") == 0) return 1;
    }
    return 0;
}

int CheckSD(int slot) {
    const char* device = slot == 1 ? "/dev/mmcblk0" : slot == 2 ? "/dev/mmcblk1" : nullptr;
    const std::string scratch = BoardPath(kMountScratch);
    ::unlink(scratch.c_str());
    // Copy the slot's mount lines into the scratch file, then judge the copy.
    {
        FilePtr out(std::fopen(scratch.c_str(), "w"));
        for (const std::string& line : diviv::TheBoard().Card().MountLines()) {
            if (out && device && line.find(device) != std::string::npos) std::fputs(line.c_str(), out.get());
        }
    }
    FilePtr copy(std::fopen(scratch.c_str(), "r"));
    if (!copy) {
        std::printf("CheckSD() : Can not open /var/tmp/mountinfo\n");
        return -1;
    }
    int result = -1;
    char line[128];
    while (device && std::fgets(line, sizeof line, copy.get()) != nullptr) {
        if (std::strncmp(line, device, std::strlen(device)) != 0) continue;
        if (std::strstr(line, "rw,") != nullptr) {
            result = 1;
        } else if (std::strstr(line, "ro,") != nullptr) {
            std::printf("### This SD Card [%s] is Read Only\n", device);
            result = 0;
        }
    }
    return result;
}

int CheckSDC() {
    std::printf("Start CheckSDC()\n");

    // 1. Partition count, from the card's MBR.
    std::printf("CheckSDC() : Get Partition Number\n");
    diviv::PartitionTable table;
    const int rc = diviv::TheBoard().Card().PartitionTable(kCardDevice, &table);
    int count = 0;
    if (rc == diviv::kPartitionTableCannotOpen) {
        std::printf("Error: Could not open %s\n", kCardDevice);
    } else if (rc != diviv::kPartitionTableOk) {
        std::printf("Error: Could not count the number of partitions [%s]\n", kCardDevice);
    } else {
        count = static_cast<int>(std::count_if(table.begin(), table.end(),
                                               [](const diviv::PartitionEntry& e) { return e.type != 0; }));
    }
    std::printf("CheckSDC() : Check Partition Number\n");
    if (count != 1 && count != 2) {
        std::printf("SDCheck() : Error :: Recognized Partition Number is %d\n", count);
        return kSDCUnusable;
    }

    // 2, 3. Partition types. An unused entry in the place of partition 2
    // reads as type 0, as a partition that cannot be found.
    std::printf("CheckSDC() : Get Partition Type 1\n");
    if (!CheckPartitionType(1, table[0].type)) return kSDCUnusable;
    if (count == 2) {
        std::printf("CheckSDC() : Get Partition Type 2\n");
        if (!CheckPartitionType(2, table[1].type)) return kSDCUnusable;
    }

    // 4. Names in the root of partition 1.
    const RootCheck root = CheckRoot();

    // 5. Summary.
    std::printf("######### SD Check Result #########\n");
    std::printf("1.Number of partitions : %d\n", count);
    std::printf("2.Type of partition    : ");
    for (int i = 0; i < count; ++i)
        std::printf("  Partition %d : Type = %s\n", i, IsFatType(table[static_cast<size_t>(i)].type) ? "FAT" : "Not FAT");
    std::printf("3.Result of File/Dir in partition 1   : %s\n", root.ok ? "OK" : "NG");

    // 6. Verdict.
    const int setup = root.setup ? kSDCSetupFile : 0;
    if (!root.ok) {
        std::printf("CheckSDC() : SD Card Error\n");
        return kSDCUnusable | setup;
    }
    if (count == 2 && root.data) {
        std::printf("CheckSDC() : Done\n");
        return kSDCUsable | setup;
    }
    std::printf("CheckSDC() : Need to format SD card\n");
    return kSDCNeedFormat | setup;
}

void VersionFileCheck() {
    const std::string path = BoardPath(kVersionFile);
    char current[27] = {};  // the first line, at most 26 characters
    {
        FilePtr in(std::fopen(path.c_str(), "r"));
        if (in && std::fgets(current, sizeof current, in.get()) == nullptr) current[0] = '\0';
    }
    if (std::strcmp(current, VersionFileLine()) == 0) return;
    std::printf("DiViv : Create a version file.\n");
    FilePtr out(std::fopen(path.c_str(), "w"));
    // A full card fails only when the buffered line is flushed.
    const bool written = out && std::fputs(VersionFileLine(), out.get()) >= 0 && std::fclose(out.release()) == 0;
    if (!written) std::printf("DiViv : Can not create a version file!!\n");
}

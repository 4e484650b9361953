#include "sim/SimCardSync.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string_view>

#include "platform/BoardPath.h"
#include "platform/linux/LinuxBoard.h"

namespace diviv::sim {

namespace {

std::string SyncLine(const struct stat& st, const std::string& board_path) {
    return "synced " + std::to_string(st.st_size) + " " + std::to_string(st.st_ino) + " " + board_path + "\n";
}

// Appends a line for every regular file below `dir` (a host path whose board
// path is `board`).
void NoteTree(const std::string& dir, const std::string& board, std::string* out) {
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) return;
    while (const dirent* e = ::readdir(d)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
        struct stat st {};
        if (::fstatat(::dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        const std::string name = e->d_name;
        if (S_ISREG(st.st_mode)) {
            *out += SyncLine(st, board + "/" + name);
        } else if (S_ISDIR(st.st_mode)) {
            NoteTree(dir + "/" + name, board + "/" + name, out);
        }
    }
    ::closedir(d);
}

void Append(const std::string& lines) {
    if (lines.empty()) return;
    (void)linux_board::WriteBoardFile(kSyncedLog, lines, O_WRONLY | O_APPEND | O_CREAT);
}

}  // namespace

void NoteCardSynced() {
    const std::string mnt = BoardPath("/mnt");
    DIR* d = ::opendir(mnt.c_str());
    if (d == nullptr) return;
    std::string lines;
    while (const dirent* e = ::readdir(d)) {
        if (std::strncmp(e->d_name, "mmc", 3) != 0) continue;
        NoteTree(mnt + "/" + e->d_name, std::string("/mnt/") + e->d_name, &lines);
    }
    ::closedir(d);
    Append(lines);
}

void NoteFileSynced(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return;
    char target[PATH_MAX];
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0) return;
    const std::string path(target, static_cast<size_t>(n));
    const std::string mnt = BoardPath("/mnt/mmc");
    if (path.rfind(mnt, 0) != 0) return;
    Append(SyncLine(st, path.substr(mnt.size() - std::strlen("/mnt/mmc"))));
}

std::map<uint64_t, uint64_t> ReadSyncedSizes(const std::string& root) {
    std::map<uint64_t, uint64_t> sizes;
    std::ifstream in(root + kSyncedLog);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream f(line);
        std::string word;
        uint64_t size = 0, inode = 0;
        if (f >> word >> size >> inode && word == "synced") sizes[inode] = size;
    }
    return sizes;
}

}  // namespace diviv::sim

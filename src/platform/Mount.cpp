#include "platform/Mount.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/BoardPath.h"

namespace diviv {

namespace {

// Appends one line to the simulator's event log.
void NoteSimEvent(const std::string& line) {
    const std::string path = BoardPath(kSimEventsLog);
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    const std::string text = line + "\n";
    // One write of a short line: an O_APPEND write is never interleaved.
    (void)!::write(fd, text.data(), text.size());
    ::close(fd);
}

// Removes the mounts-file lines whose mount point (second field) is `path`.
// The file is replaced by rename, so a reader sees either the old or the new
// table. Returns the number of lines removed, or -1 if the file is missing.
int RemoveSimMount(std::string_view path) {
    const std::string mounts = BoardPath("/proc/mounts");
    std::ifstream in(mounts);
    if (!in) return -1;
    std::ostringstream kept;
    std::string line;
    int removed = 0;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string device, point;
        fields >> device >> point;
        if (point == path) {
            ++removed;
            continue;
        }
        kept << line << '\n';
    }
    in.close();
    if (removed == 0) return 0;
    const std::string tmp = mounts + ".new";
    {
        std::ofstream out(tmp, std::ios::trunc);
        out << kept.str();
        if (!out) return -1;
    }
    if (std::rename(tmp.c_str(), mounts.c_str()) != 0) return -1;
    return removed;
}

}  // namespace

int UnmountCard(std::string_view path) {
    if (IsSimBoard()) {
        if (RemoveSimMount(path) <= 0) return -1;
        NoteSimEvent("umount " + std::string(path));
        return 0;
    }
    return ::umount2(BoardPath(path).c_str(), 0) == 0 ? 0 : -1;
}

void SyncDisks() {
    if (IsSimBoard()) {
        NoteSimEvent("sync");
        return;
    }
    ::sync();
}

}  // namespace diviv

#include "platform/Mount.h"

#include <fcntl.h>

#include <string>

#include "platform/Board.h"
#include "platform/Owners.h"

namespace diviv {

int UnmountCard(std::string_view path) { return TheBoard().Card().Unmount(path) == 0 ? 0 : -1; }

void SyncDisks() { TheBoard().Card().Sync(); }

int SyncCardFile(int fd) { return TheBoard().Card().SyncFile(fd) == 0 ? 0 : -1; }

int SyncCardFileAt(const char* path) {
    if (path == nullptr) return -1;
    const std::string file = path;
    const OwnedFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd || SyncCardFile(fd.get()) != 0) return -1;
    // A new or renamed file's name lives in its folder.
    const size_t slash = file.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : file.substr(0, slash);
    const OwnedFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return dir && SyncCardFile(dir.get()) == 0 ? 0 : -1;
}

}  // namespace diviv

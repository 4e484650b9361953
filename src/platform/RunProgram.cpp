#include "platform/RunProgram.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>

extern char** environ;

namespace diviv {

int RunProgram(const std::vector<std::string>& argv) {
    if (argv.empty()) return -1;
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    pid_t pid = 0;
    const bool has_slash = argv[0].find('/') != std::string::npos;
    int rc = has_slash ? posix_spawn(&pid, args[0], nullptr, nullptr, args.data(), environ)
                       : posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ);
    if (rc != 0) return rc == ENOENT || rc == EACCES || rc == ENOEXEC ? 127 : -1;

    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

}  // namespace diviv

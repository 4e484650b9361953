// Runs diviv-media's command line in-process and captures what it prints.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "MediaCommands.h"

namespace mediatest {

struct Outcome {
    int rc;
    std::string out, err;
};

// Everything written to a temporary file, which is closed.
inline std::string ReadAndClose(FILE* f) {
    std::string s;
    std::rewind(f);
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
    std::fclose(f);
    return s;
}

// `args` without the program name.
inline Outcome Tool(std::vector<std::string> args) {
    args.insert(args.begin(), "diviv-media");
    std::vector<const char*> argv;
    for (auto& a : args) argv.push_back(a.c_str());
    FILE* out = std::tmpfile();
    FILE* err = std::tmpfile();
    const int rc = media::RunCommandLine(static_cast<int>(argv.size()), argv.data(), out, err);
    return {rc, ReadAndClose(out), ReadAndClose(err)};
}

}  // namespace mediatest

// Recordings for the repair and export tests: made once per test program
// with FFmpeg's test source and tone and `diviv-media mux`, in a folder of
// their own; FFmpeg's programs as the judges. Tests skip when FFmpeg is
// missing.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "MediaToolRun.h"

namespace mediawork {

namespace fs = std::filesystem;

// A folder per test process, removed by Remove().
const fs::path& Folder();
void Remove();
std::string Path(const std::string& name);

bool HaveFfmpeg();

struct Shell {
    int rc = 0;
    std::string out, err;
};
// A shell command line with its standard output and error captured.
Shell RunShell(const std::string& cmd);

std::vector<uint8_t> Bytes(const std::string& path);
void Save(const std::string& path, const std::vector<uint8_t>& bytes);

// A recording of `seconds` s: a 160 x 120 moving test picture at 30 per
// second with a key picture every 15, a 440 Hz tone, one sensor record a
// second; key pictures scrambled with `pass` when given. Empty on failure.
std::string MakeRecording(const std::string& name, int seconds, const std::string& pass = "",
                          const std::string& testSource = "testsrc");

// Pictures FFmpeg decodes from the file's video stream (-1 when it reports
// an error); `errors` gets its error lines.
int DecodedPictures(const std::string& path, std::string* errors = nullptr);

}  // namespace mediawork

// Takes the GPS records out of rmc_buf the way the recording writer takes
// them (one whole gps_buffer at a time), for the writer's stand-in while it
// does not record them yet.
//
// When the environment variable DIVIV_DUMP_RMC names a file, each record is
// appended to it as one text line: its time stamp as "seconds.microseconds",
// a blank and the sentence without its CR.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "core/DR_shared.h"

namespace diviv::recording {

inline constexpr const char* kDumpRmcVariable = "DIVIV_DUMP_RMC";

class RmcDrain {
public:
    // dump_path: file the lines are appended to; empty for none.
    explicit RmcDrain(std::string dump_path = {});

    // Takes every whole record waiting. Returns the number taken.
    int Poll(dr_common_t* dr);

    int64_t records() const { return records_; }

private:
    struct FileClose {
        void operator()(FILE* f) const { std::fclose(f); }
    };
    std::unique_ptr<FILE, FileClose> dump_;
    int64_t records_ = 0;
};

// DIVIV_DUMP_RMC, or empty.
std::string DumpRmcPath();

}  // namespace diviv::recording

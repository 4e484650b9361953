// The media tool's commands, callable without a process (tests use them).
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace media {

using PassCode = std::array<uint8_t, 4>;

struct MuxOptions {
    std::string video, audio, text, output;
    bool scramble = false;
    PassCode pass{};
    int64_t date = -1;  // creation time, seconds since 1970; -1 = now
};

struct ReadOptions {
    std::string input;
    std::string video, audio, text;  // extract outputs; empty = not written
    bool havePass = false;
    PassCode pass{};
};

struct FramesOptions {
    std::string input;  // an ASF recording or a raw Annex-B stream
    bool havePass = false;
    PassCode pass{};
};

struct CheckOptions {
    std::vector<std::string> inputs;  // recordings, or folders searched for .ASF files
    bool havePass = false;
    PassCode pass{};
};

// Each returns 0, or 1 with a one-line reason in `error`.
int Mux(const MuxOptions& o, FILE* out, std::string& error);
int Info(const ReadOptions& o, FILE* out, std::string& error);
int Extract(const ReadOptions& o, FILE* out, std::string& error);
// Per decoded picture: "pts_ms=T seq=N marker=0|1" from its frame band, or
// "pts_ms=T band=unreadable"; " corrupt=1" when the decoder flagged it.
int Frames(const FramesOptions& o, FILE* out, std::string& error);
// Per recording: sound or damaged (and why), duration, pictures, gaps in
// the picture times, audio against video, sensor records by kind, trip and
// event summaries, scrambling. 1 when a recording is damaged.
int Check(const CheckOptions& o, FILE* out, std::string& error);
int G726Convert(bool encode, int bits, const std::string& in, const std::string& outPath, std::string& error);

// The whole command line: usage on no or unknown arguments (exit 2), the
// reason on stderr and exit 1 on bad input.
int RunCommandLine(int argc, const char* const* argv, FILE* out, FILE* err);

}  // namespace media

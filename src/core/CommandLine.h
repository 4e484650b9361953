// The recorder's command line, read before anything of the board is touched.
// Its arguments are hexadecimal numbers only (the host queue ids and the
// parameter source); "--help" and "--version" print and end the program.
#pragma once

#include <cstdio>
#include <optional>

namespace diviv {

// Checks argv. Returns nothing when the recorder may start with these
// arguments; otherwise the exit status for main to return at once:
// 0 after printing the usage ("--help", "-h") or the version ("--version")
// to out, 2 after naming the first argument that is not a hexadecimal
// number on err. A hexadecimal number is an optional sign, an optional
// "0x" or "0X" and at least one hexadecimal digit, nothing else.
std::optional<int> CheckCommandLine(int argc, const char* const* argv, std::FILE* out, std::FILE* err);

// True when text is a hexadecimal number in the sense above.
bool IsHexNumber(const char* text);

}  // namespace diviv

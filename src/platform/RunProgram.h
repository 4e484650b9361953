// Running outside programs without a shell.
//
// Arguments are passed as a vector, so no text is ever interpreted by a
// shell: quotes, "$(...)" and backticks reach the program as plain bytes.
#pragma once

#include <string>
#include <vector>

namespace diviv {

// Runs argv[0] with the given arguments and waits for it. A program name
// without '/' is looked up on PATH. Returns the program's exit status
// (0..255), 128 + signal number if it was killed, 127 if it could not be
// started, -1 if argv is empty or the process could not be created.
int RunProgram(const std::vector<std::string>& argv);

}  // namespace diviv

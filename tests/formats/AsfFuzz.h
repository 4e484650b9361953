// Randomised mutation testing of the ASF reader: recordings from the writer
// and hand-made objects, mutated, fed to the reader whole and in growing
// pieces. Every read must stay inside the buffer handed over (under
// AddressSanitizer the bytes beyond it are poisoned), every block requested
// must be bounded by the bytes buffered, every call must make progress or
// stop, and every block must be returned at close.
#pragma once

#include <cstdint>
#include <string>

namespace asffuzz {

struct Report {
    uint64_t inputs = 0;
    uint64_t parseCalls = 0;
    uint64_t payloads = 0;
    std::string failure;  // empty when every input passed
};

Report Run(uint64_t inputs, uint64_t seed);

}  // namespace asffuzz

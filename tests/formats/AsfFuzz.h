// Randomised mutation testing of the ASF reader: recordings from the writer
// and hand-made objects, mutated (one input in four: a single object given a
// hostile size of 0, 1, 23, 24, beyond the end or beyond 32 bits), fed to the
// reader whole and in growing pieces as a caller does. Every read must stay
// inside the buffer handed over (under AddressSanitizer the bytes beyond it
// are poisoned), every block requested must be bounded by the bytes
// buffered, every answer must consume something or stop the caller, no
// object may move the reader by less than its header, every input must be
// read within a time limit (a watchdog ends the process on a reader stuck
// inside one call), and every block must be returned at close.
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

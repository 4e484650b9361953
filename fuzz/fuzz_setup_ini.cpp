// The setup file as a user may leave it on the card, merged into the
// parameter record: any text is read within its buffers, a lookup never
// overfills the caller's buffer, values outside their ranges never reach
// the record, and the merge finds a key where a lookup in the file finds it.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "FuzzBoard.h"
#include "config/param_ini.h"
#include "config/setup_ini.h"

namespace {

Eep_data Defaults() {
    Eep_data e;
    std::memset(&e, 0, sizeof e);
    SetupIniDefault(&e);
    return e;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* file = fuzzboard::WriteRootFile("setup.ini", data, size);

    // A single lookup into a short buffer, as the other readers of the file do.
    char small[6];
    const int n = GetPrivateProfileString("HOLMAX", "ID1", "default", small, sizeof small, file);
    const size_t len = strnlen(small, sizeof small);
    if (len == sizeof small) __builtin_trap();  // the value must end inside the buffer
    if (n != 0 && n != static_cast<int>(len)) __builtin_trap();

    // The camera mode as a single lookup in the file finds it.
    char mode[100];
    GetPrivateProfileString("HOLMAX", "CAM_MODE", "", mode, sizeof mode, file);

    // Merged onto the defaults: only accepted values reach the record, and
    // the merge (which reads the file once) finds what the lookup found.
    Eep_data eep = Defaults();
    if (SetupIniChk(file, &eep) != 1) __builtin_trap();
    if (eep.cammode > 4 || eep.gss_position < 1 || eep.gss_position > 24) __builtin_trap();
    if (mode[0] >= '0' && mode[0] <= '4' && mode[1] == '\0' && eep.cammode != mode[0] - '0') __builtin_trap();
    return 0;
}

// The 512-byte parameter record as the EEPROM may hold it (blank, written by
// another version, damaged): it is read through the EEPROM library, a blank
// part gets the factory defaults, the record is printed, and the setup file
// is written from it. Whatever the bytes, the file must read back onto the
// record without changing it: a record can only show in the file what the
// file can give back.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "FuzzBoard.h"
#include "config/param_ini.h"
#include "config/setup_ini.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto& image = fuzzboard::EepromImage();
    image.fill(0xFF);
    std::memcpy(image.data(), data, std::min(size, image.size()));

    Eep_data eep;
    std::memset(&eep, 0, sizeof eep);
    LoadEepDone = 0;
    if (load_eeprom_param(&eep) != 0) __builtin_trap();
    if (std::memcmp(&eep, image.data(), sizeof eep) != 0) __builtin_trap();  // read as stored
    if (EepIniChk()) {
        SetupIniDefault(&eep);
        if (save_eeprom_param(&eep) != 0) __builtin_trap();
    }
    ShowEepParam(&eep);

    const char* file = fuzzboard::WriteRootFile("setup.ini", nullptr, 0);
    if (CreateSetupIni(file) != 0) __builtin_trap();
    Eep_data back = EepData;
    if (SetupIniChk(file, &back) != 1) __builtin_trap();
    if (std::memcmp(&back, &EepData, sizeof back) != 0) __builtin_trap();
    return 0;
}

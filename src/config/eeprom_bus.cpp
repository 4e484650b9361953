#include "config/eeprom_bus.h"

#include "platform/BoardPath.h"
#include "sim/SimI2cEeprom.h"

std::unique_ptr<diviv::I2cBus> MakeEepromBus() {
    if (diviv::IsSimBoard()) return std::make_unique<diviv::sim::SimI2cEeprom>();
    return std::make_unique<diviv::LinuxI2cBus>(BoardPath("/dev/i2c/1"));
}

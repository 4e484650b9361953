// The one place that picks the EEPROM's I2C backend: the simulated part on a
// simulated board, the board's i2c-dev adapter "/dev/i2c/1" otherwise.
#pragma once

#include <memory>

#include "platform/I2cBus.h"

std::unique_ptr<diviv::I2cBus> MakeEepromBus();

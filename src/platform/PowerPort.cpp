#include "platform/PowerPort.h"

#include "platform/Board.h"

namespace diviv {

bool WritePowerCommand(std::string_view command) { return TheBoard().Power().WriteCommand(command) == 0; }

std::string ReadPowerState() { return TheBoard().Power().ReadState(); }

}  // namespace diviv

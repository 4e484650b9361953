#include "recording/MuxState.h"

namespace diviv::mux {

void WriteObject(MuxState& s, int type, const uint8_t* data, uint32_t length, uint32_t pts_ms, bool key) {
    if (s.asf == nullptr) return;
    const ASF_MUX_DATA_INFO info{static_cast<uint8_t>(key ? 1 : 0), pts_ms};
    ASF_Mux_WriteData(s.asf, type, data, length, &info);
}

void WriteText(MuxState& s, const std::string& text, uint32_t pts_ms) {
    WriteObject(s, ASF_MUX_DATA_TYPE_BINARY, reinterpret_cast<const uint8_t*>(text.data()),
                static_cast<uint32_t>(text.size()), pts_ms, true);
}

}  // namespace diviv::mux

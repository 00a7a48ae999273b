// Setting one NV item: read it, leave it when the device holds it with its first 16 bytes
// already the values, otherwise write it with its other 112 bytes kept and read it back. A read
// answered with a status other than 0 holds nothing, on the first read as on the read-back.
#pragma once

#include <cstdint>

#include "nvtool/diag_link.hpp"
#include "nvtool/nv_list.hpp"
#include "nvtool/output_channels.hpp"

namespace nvtool {

inline constexpr uint8_t kNvReadCode = 0x26;
inline constexpr uint8_t kNvWriteCode = 0x27;
inline constexpr size_t kNvPacketSize = 133;
inline constexpr size_t kNvDataOffset = 3;
inline constexpr size_t kNvDataSize = 128;

bool SetNvItem(DiagLink& link, OutputChannels& out, uint16_t item_id, const NvValues& values);

}  // namespace nvtool

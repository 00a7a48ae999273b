#include "diaglib/transport/hdlc_deframer.hpp"

#include "common/diag_frame.hpp"
#include "diaglib/log/data_log_file_handler.hpp"
#include "diaglib/log/hex_dump.hpp"
#include "diaglib/log/log_categories.hpp"
#include "diaglib/transport/packet_kinds.hpp"
#include "diaglib/transport/prot_ahdlc.hpp"

namespace diaglib {

namespace {

// Unsolicited traffic the device sends without a CRC worth checking.
bool PassesUnchecked(uint8_t first) {
  return first == kLogPacket || first == kDebugMessage || first == kEventReport ||
         first == kExtendedDebugMessage;
}

}  // namespace

void HdlcDeframer::DeframeChunk(const uint8_t* bytes, size_t count) {
  if (count == 0) return;
  for (size_t i = 0; i < count; ++i) {
    uint8_t b = bytes[i];
    if (b == common::kFrameEscape) {
      escape_pending_ = true;
      continue;
    }
    if (b == common::kFrameFlag) {
      if (count_ != 0) EndOfFrame();
      continue;
    }
    if (escape_pending_) {
      b = static_cast<uint8_t>(b ^ common::kEscapeXor);
      escape_pending_ = false;
    }
    if (count_ < kFrameCapacity) {
      frame_[count_++] = b;
    } else {
      WriteLog(log_, LOG_IO, "ERROR THREAD READ---NON-HDLC data (%d bytes), data is discarded",
               static_cast<int>(count_));
      count_ = 0;
    }
  }
  // Line noise from a device that is powering up arrives as runs of zeros; keeping them would
  // corrupt the first real frame.
  if (bytes[count - 1] != common::kFrameFlag && count_ != 0) {
    bool all_zero = true;
    for (size_t i = 0; i < count_ && all_zero; ++i) all_zero = frame_[i] == 0;
    if (all_zero) {
      WriteLog(log_, LOG_IO, "Packet is being erased because it is all zeros");
      count_ = 0;
    }
  }
}

void HdlcDeframer::EndOfFrame() {
  const int size = static_cast<int>(count_);
  const uint8_t first = frame_[0];
  count_ = 0;
  if (PassesUnchecked(first)) {
    sink_(size, frame_);
    return;
  }
  if (first == kTerseDebugMessage) return;
  if (static_cast<size_t>(size) == kFrameCapacity) {
    WriteLog(log_, LOG_IO,
             "Maximum Packet Size reached, %d bytes, suspected invalid packet is skipped", size);
    return;
  }
  if (ComputeCrc16(frame_, 8u * static_cast<uint32_t>(size)) == kAhdlcGoodCrcResidue) {
    sink_(size, frame_);
    WriteHexLog(log_, LOG_IO, "SYNC REC (%d bytes): %s", frame_, size);
  } else {
    WriteHexLog(log_, LOG_IO, "ERROR SYNC REC (%d bytes): %s", frame_, size);
  }
}

}  // namespace diaglib

// The DIAG command codes the virtual device answers, named once for all of its parts. They are
// written from the protocol, not taken from the tools, so that a wrong code on either side shows.
#pragma once

#include <cstdint>

namespace devicesim {

// First byte of a request and of its answer.
inline constexpr uint8_t kVersion = 0x00, kNvRead = 0x26, kNvWrite = 0x27, kModeControl = 0x29,
                         kSubsystem = 0x4B, kLoopback = 0x7B, kExtBuildId = 0x7C;
// Error answers: the code followed by the request.
inline constexpr uint8_t kBadCommand = 0x13, kBadLength = 0x15, kBadMode = 0x18;
// Subsystem ids, the byte after kSubsystem.
inline constexpr uint8_t kCallManager = 0x0F, kEfs2 = 0x13;

// The EFS2 subsystem's commands, the 16-bit word after the subsystem id.
namespace efs2_cmd {
inline constexpr uint16_t kOpen = 2, kClose = 3, kWrite = 5, kUnlink = 8, kMkdir = 9, kRmdir = 10,
                          kOpenDir = 11, kReadDir = 12, kCloseDir = 13, kStat = 15, kStatFs = 19;
}

// What a mode control request asks for (the 16-bit word after the command code).
namespace mode_request {
inline constexpr uint16_t kOfflineAnalog = 0, kOfflineDigital = 1, kReset = 2, kFtm = 3,
                          kOnline = 4, kLowPower = 5;
}

}  // namespace devicesim

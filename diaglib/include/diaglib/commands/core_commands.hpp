// The DIAG core commands of a context: presence ping, mode control with read-back, phone state,
// version, extended build id and NV read. Each builds its request in the context's command
// packet and takes its results from fixed positions of the response.
#pragma once

#include <cstddef>
#include <cstdint>

#include "diaglib/commands/diag_session.hpp"

namespace diaglib {

inline constexpr uint8_t kCmdVersion = 0x00;
inline constexpr uint8_t kCmdNvRead = 0x26;
inline constexpr uint8_t kCmdModeControl = 0x29;
inline constexpr uint8_t kCmdSubsystemDispatch = 0x4B;
inline constexpr uint8_t kCmdLoopback = 0x7B;
inline constexpr uint8_t kCmdExtBuildId = 0x7C;
inline constexpr uint8_t kSubsystemCallManager = 0x0F;

inline constexpr uint32_t kFtmCommandCode = 75;
inline constexpr size_t kVersionRecordSize = 55;

enum PhoneMode : uint32_t {
  kModeOfflineA = 0,
  kModeOfflineD = 1,
  kModeReset = 2,
  kModeFtm = 3,
  kModeOnline = 4,
  kModeLpm = 5,
  kModePowerOff = 6,
};

// The name printed for modes 0 to 6, null for the others.
const char* PhoneModeName(uint32_t mode);

// Exchanges the command packet's request with time-out `timeout_ms`, no wait before listening;
// `answers`, when given, drops late answers to earlier requests.
bool SendCommandPacket(DiagSession& session, int timeout_ms, const ReplyMatch& answers = {});

bool IsPhoneConnected(DiagSession& session);
bool ControlPhoneMode(DiagSession& session, uint32_t requested_mode);
bool GetPhoneOperatingMode(DiagSession& session, uint32_t* operating_mode);
bool GetPhoneCallState(DiagSession& session, uint32_t* call_state, uint32_t* system_mode);

// Copies the version response into `record` (kVersionRecordSize bytes; may be null) when it holds
// at least 54 bytes, never more than the record holds. *copied gets the count (0: untouched).
bool ReadVersion(DiagSession& session, uint8_t* record, size_t* copied);

// Both strings are bounded by the received response and by their buffers and always come back
// terminated (empty when the response does not reach them); the numbers are set only when the
// response holds them.
bool ReadExtBuildId(DiagSession& session, uint32_t* chip_hw_version, uint32_t* mobile_model,
                    char* software_revision, size_t software_revision_size, char* model,
                    size_t model_size);

bool ReadNvItem(DiagSession& session, uint16_t item_id, uint8_t* data, int length,
                uint16_t* status);

}  // namespace diaglib

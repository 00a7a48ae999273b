#include "diaglib/commands/line_marker.hpp"

#include <atomic>

#include "diaglib/commands/core_commands.hpp"
#include "diaglib/commands/reply_echo.hpp"
#include "diaglib/commands/reply_ledger.hpp"
#include "diaglib/commands/wire_fields.hpp"
#include "diaglib/log/data_log_file_handler.hpp"
#include "diaglib/log/log_categories.hpp"

namespace diaglib {
namespace {

// Byte 1 is left as 0, as the device may use it; bytes 2 and 3 tell a marker from the presence
// ping, bytes 4 to 7 number it within the run.
constexpr uint16_t kMarkerLength = 8;
constexpr uint8_t kMarkerTag[2] = {'L', 'M'};

std::atomic<uint32_t> next_marker{1};

}  // namespace

bool SendLineMarker(DiagSession& session) {
  uint8_t request[kMarkerLength] = {kCmdLoopback, 0, kMarkerTag[0], kMarkerTag[1]};
  const uint32_t number = next_marker.fetch_add(1);
  PutU32(request + 4, number);
  DiagRequest marker;
  marker.bytes = request;
  marker.length = kMarkerLength;
  marker.expected_code = kCmdLoopback;
  marker.timeout_ms = kMarkerTimeOutMs;
  // Only this marker's echo ends the wait: the number is unique within the run, so neither a
  // late echo of an earlier marker nor of the presence ping passes for it. Whatever comes
  // before it, of any code, goes into the ledger.
  marker.answers = [match = RepeatsRequest(request, 2, kMarkerLength)](const uint8_t* packet,
                                                                       uint16_t packet_length) {
    return packet[0] == kCmdLoopback && packet_length == kMarkerLength &&
           match(packet, packet_length);
  };
  marker.any_code = true;
  uint8_t response[kMarkerLength] = {};
  DiagReply reply(response);
  if (!session.Link().SendSync(marker, reply)) {
    WriteLog(session.LogHandler(), LOG_ERR, "Line marker %u: no echo", number);
    return false;
  }
  session.Ledger().LineClear();
  return true;
}

bool ClearLineIfDisturbed(DiagSession& session) {
  return !session.Ledger().Disturbed() || SendLineMarker(session);
}

bool ConfirmOperation(DiagSession& session, const char* what) {
  if (!SendLineMarker(session)) return false;
  if (session.Ledger().Consistent()) return true;
  WriteLog(session.LogHandler(), LOG_ERR,
           "%s() - a reply to another request was taken for one of its own", what);
  return false;
}

}  // namespace diaglib

#include "diaglib/commands/reply_echo.hpp"

#include <array>
#include <cstring>

namespace diaglib {

ReplyMatch RepeatsRequest(const uint8_t* request, size_t from, size_t to) {
  std::array<uint8_t, kLongestEcho> echo{};
  if (to > kLongestEcho) to = kLongestEcho;
  if (from > to) from = to;
  std::memcpy(echo.data(), request, to);
  const uint8_t first = static_cast<uint8_t>(from), end = static_cast<uint8_t>(to);
  return [echo, first, end](const uint8_t* packet, uint16_t length) {
    return length >= end && std::memcmp(packet + first, echo.data() + first, end - first) == 0;
  };
}

}  // namespace diaglib

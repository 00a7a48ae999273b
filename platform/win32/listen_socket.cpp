#include "platform/listen_socket.hpp"

#include <winsock2.h>

#include <cstdint>

namespace platform {

bool MakeListenerExclusive(std::uintptr_t native) {
  // Here SO_REUSEADDR would let another program take the port over; exclusive use refuses a
  // second listener, and a closed one's port binds again at once.
  const BOOL on = TRUE;
  return setsockopt(static_cast<SOCKET>(native), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                    reinterpret_cast<const char*>(&on), sizeof on) == 0;
}

}  // namespace platform

#include "platform/listen_socket.hpp"

#include <sys/socket.h>

#include <cstdint>

namespace platform {

bool MakeListenerExclusive(std::uintptr_t native) {
  // Here the address may be taken again while closed connections linger, and a second
  // listener on it is still refused.
  const int on = 1;
  return setsockopt(static_cast<int>(native), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0;
}

}  // namespace platform

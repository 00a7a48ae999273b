// A listening socket as a server on a shared PC wants it: no other program's listener shares
// its port, and a restarted program takes the port again at once, not minutes later.
#pragma once

#include <cstdint>

namespace platform {

// To be set on the socket after it is opened and before it is bound. `native` is the system's
// handle of the socket. False when the system refused.
bool MakeListenerExclusive(std::uintptr_t native);

}  // namespace platform

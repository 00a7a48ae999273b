// Replies that repeat part of their request: the EFS2 write (header, file handle, offset), the
// folder read (header, listing handle, sequence number), the NV read (code, item id) and the
// loopback (its payload). The repeated bytes tell the awaited answer from a late one only where
// they differ between requests: a device that hands out the lowest free file handle gives two
// files written one after the other the same handle, and their first writes the same offset,
// and the presence ping's payload never changes. The reply ledger and the line marker catch
// what the echo cannot.
#pragma once

#include <cstddef>
#include <cstdint>

#include "diaglib/transport/diag_exchange.hpp"

namespace diaglib {

inline constexpr size_t kLongestEcho = 12;

// Accepts a reply whose bytes [from, to) equal the request's (to <= kLongestEcho; the request
// is copied, so it may change before the reply comes). A reply too short to hold them is not
// an answer to this request.
ReplyMatch RepeatsRequest(const uint8_t* request, size_t from, size_t to);

}  // namespace diaglib

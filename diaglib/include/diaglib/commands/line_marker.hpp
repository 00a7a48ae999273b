// The line marker: a loopback request whose payload no other request of this run carries. A
// device answers in order, so by the time the marker's echo arrives everything the device sent
// before it has arrived too, and went into the context's reply ledger. That is how an EFS2
// operation learns, before it reports its result, whether a stray answer (a late one, or the
// copy of one answered twice) was taken for one of its requests.
#pragma once

#include "diaglib/commands/diag_session.hpp"

namespace diaglib {

inline constexpr int kMarkerTimeOutMs = 2000;

// Sends a marker and waits for its echo; false when the echo did not come in time.
bool SendLineMarker(DiagSession& session);
// Sends a marker only when the line was disturbed since the last one (a time-out, a
// turned-down answer, a resend); false when it was needed and its echo did not come.
bool ClearLineIfDisturbed(DiagSession& session);
// Sends a marker, then asks the ledger: true when every request of the operation was answered
// by its own answer.
bool ConfirmOperation(DiagSession& session, const char* what);

}  // namespace diaglib

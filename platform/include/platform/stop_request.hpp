// A request from outside to stop the running program: a supervisor's or a user's signal, the
// console's Ctrl-C, Ctrl-Break or its window closing. The program asks for it between steps
// instead of being ended where it stands, so that it can stop what it started and say so.
#pragma once

#include <string>

namespace platform {

// From now on a stop request is taken instead of ending the process. POSIX: SIGINT, SIGTERM
// and SIGHUP. Windows: Ctrl-C, Ctrl-Break and the console window closing (also log-off and
// shut-down); the system ends the process a few seconds after a close whatever it does, so the
// program has that long to finish (see StopHandled).
void CatchStopRequests();

// The request that came, for the record ("SIGTERM", "Ctrl-Break", ...); "" while none came.
// Safe to call from any thread.
std::string StopRequest();

// "" unless the stop asks for the running work to end too: any request but a first Ctrl-C or
// SIGINT (which asks only that nothing new starts), or a second request of any kind. The
// request named is the one that made it urgent. Safe to call from any thread.
std::string UrgentStopRequest();

// The program has done what a stop asks for: a console close waiting for it lets the system end
// the process.
void StopHandled();

}  // namespace platform

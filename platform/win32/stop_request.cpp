#include <windows.h>

#include <atomic>
#include <string>

#include "platform/stop_request.hpp"

namespace platform {
namespace {

// Written by the console's handler thread, read by the program's threads.
std::atomic<DWORD> g_event{0xFFFFFFFF};
std::atomic<DWORD> g_urgent{0xFFFFFFFF};
std::atomic<bool> g_handled{false};

BOOL WINAPI OnConsoleEvent(DWORD event) {
  DWORD none = 0xFFFFFFFF;
  const bool first = g_event.compare_exchange_strong(none, event);
  if (!first || event != CTRL_C_EVENT) {
    none = 0xFFFFFFFF;
    g_urgent.compare_exchange_strong(none, event);
  }
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
    // The process ends as soon as this returns: give the program its few seconds to stop its
    // runs and write its record first.
    for (int waited = 0; waited < 4500 && !g_handled.load(); waited += 50) Sleep(50);
  }
  return TRUE;
}

std::string NameOf(DWORD event) {
  switch (event) {
    case 0xFFFFFFFF:
      return "";
    case CTRL_C_EVENT:
      return "Ctrl-C";
    case CTRL_BREAK_EVENT:
      return "Ctrl-Break";
    case CTRL_CLOSE_EVENT:
      return "console closed";
    case CTRL_LOGOFF_EVENT:
      return "log-off";
    case CTRL_SHUTDOWN_EVENT:
      return "shut-down";
    default:
      return "console event " + std::to_string(event);
  }
}

}  // namespace

void CatchStopRequests() { SetConsoleCtrlHandler(OnConsoleEvent, TRUE); }

std::string StopRequest() { return NameOf(g_event.load()); }

std::string UrgentStopRequest() { return NameOf(g_urgent.load()); }

void StopHandled() { g_handled.store(true); }

}  // namespace platform

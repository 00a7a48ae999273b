#include "platform/stop_request.hpp"

#include <signal.h>

#include <atomic>
#include <string>

namespace platform {
namespace {

// Written by the signal handler, read by the program's threads.
std::atomic<int> g_signal{0};
std::atomic<int> g_urgent{0};

extern "C" void OnStopSignal(int signal_number) {
  int none = 0;
  const bool first = g_signal.compare_exchange_strong(none, signal_number);
  if (!first || signal_number != SIGINT) {
    none = 0;
    g_urgent.compare_exchange_strong(none, signal_number);
  }
}

std::string NameOf(int signal_number) {
  switch (signal_number) {
    case 0:
      return "";
    case SIGINT:
      return "SIGINT";
    case SIGTERM:
      return "SIGTERM";
    case SIGHUP:
      return "SIGHUP";
    default:
      return "signal " + std::to_string(signal_number);
  }
}

}  // namespace

void CatchStopRequests() {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP})
    sigaction(signal_number, &action, nullptr);
}

std::string StopRequest() { return NameOf(g_signal.load()); }

std::string UrgentStopRequest() { return NameOf(g_urgent.load()); }

void StopHandled() {}

}  // namespace platform

#include <windows.h>

#include "platform/clock.hpp"

namespace platform {
namespace {

class Win32Clock final : public Clock {
 public:
  uint32_t TickCount() override { return GetTickCount(); }
  void Pause(uint32_t ms) override { Sleep(ms); }
  LocalTime Now() override {
    SYSTEMTIME st;
    GetLocalTime(&st);
    LocalTime t;
    t.year = st.wYear;
    t.month = st.wMonth;
    t.day = st.wDay;
    t.hour = st.wHour;
    t.minute = st.wMinute;
    t.second = st.wSecond;
    t.millisecond = st.wMilliseconds;
    return t;
  }
  bool Wait(uint32_t timeout_ms, const std::function<bool(uint32_t)>& wait) override {
    return wait(timeout_ms);
  }
};

}  // namespace

Clock& RealClock() {
  static Win32Clock clock;
  return clock;
}

}  // namespace platform

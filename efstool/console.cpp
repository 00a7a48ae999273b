#include "efstool/console.hpp"

#include "platform/console.hpp"

namespace efstool {
namespace {

class PlatformConsole final : public Console {
 public:
  PlatformConsole() { platform::KeepRunningWithoutConsole(); }
  void Write(const std::string& text) override { platform::ConsoleWrite(text); }
  bool KeyWaiting() override { return platform::KeyWaiting(); }
  void ReadKey() override { platform::ReadKey(); }
};

}  // namespace

Console& RealConsole() {
  static PlatformConsole console;
  return console;
}

}  // namespace efstool

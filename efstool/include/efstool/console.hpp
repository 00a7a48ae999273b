// The console the steps print to and the key press that may end the wait for a phone.
#pragma once

#include <string>

namespace efstool {

class Console {
 public:
  virtual ~Console() = default;
  virtual void Write(const std::string& text) = 0;
  virtual bool KeyWaiting() = 0;
  virtual void ReadKey() = 0;
};

// The process's own console.
Console& RealConsole();

}  // namespace efstool

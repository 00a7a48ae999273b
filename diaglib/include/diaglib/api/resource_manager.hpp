// The process-wide table of library contexts: numbering, reference counts, reuse for a port
// that is already open, and release. Contexts are created and released from one caller thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "diaglib/api/diag_phone.hpp"
#include "diaglib/api/vode.hpp"

namespace platform {
class Clock;
}

namespace diaglib {

class Vode_ResourceManager {
 public:
  static constexpr int kMaxContexts = 50;

  static Vode_ResourceManager& Instance();

  // A context for the port (0xFFFF: the first port with a phone on it); null when none.
  VODE_HANDLE CreateContext(uint16_t port);
  // The context's DIAG object, built on first use; null for a handle that names no context.
  Diag_Phone* Phone(VODE_HANDLE handle);
  bool ContextPort(VODE_HANDLE handle, uint16_t* port) const;
  // One reference less; the context goes when none is left or when `forced`.
  void Release(VODE_HANDLE handle, bool forced);
  void CloseAllContexts();

  // The name of the context's mutex, "" for a handle that names none.
  std::string ContextName(VODE_HANDLE handle) const;
  int ReferenceCount(VODE_HANDLE handle) const;
  int ContextsInUse() const;
  uint32_t ContextCounter() const { return counter_; }

  void SelectLibraryMode(bool tovik) { tovik_mode_ = tovik; }
  bool TovikMode() const { return tovik_mode_; }
  void UseClock(platform::Clock& clock) { clock_ = &clock; }

  // The handle's value as the int handed to callbacks.
  static int ContextValue(VODE_HANDLE handle);

 private:
  struct Record {
    std::unique_ptr<Diag_Phone> phone;
    int32_t in_use = 0;
    VODE_HANDLE handle = nullptr;
    uint16_t port = 0;
    int32_t reference_count = 0;
    std::string mutex_name;
  };

  Vode_ResourceManager();
  Record* Find(VODE_HANDLE handle);
  const Record* Find(VODE_HANDLE handle) const;
  void Free(Record& record);

  Record records_[kMaxContexts];
  uint32_t counter_ = 0;
  bool tovik_mode_ = false;
  bool exit_hook_registered_ = false;
  platform::Clock* clock_;
};

}  // namespace diaglib

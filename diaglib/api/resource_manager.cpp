#include "diaglib/api/resource_manager.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "diaglib/api/port_autodetect.hpp"
#include "platform/clock.hpp"

namespace diaglib {

namespace {

void CloseAllAtExit() { VODE_CloseAllContexts(); }

// Handles carry the context number plus one: unique for the life of the process, never null,
// and small enough to be the int context value of the callbacks.
VODE_HANDLE HandleFor(uint32_t number) {
  return reinterpret_cast<VODE_HANDLE>(static_cast<uintptr_t>(number) + 1);
}

}  // namespace

Vode_ResourceManager::Vode_ResourceManager() : clock_(&platform::RealClock()) {}

Vode_ResourceManager& Vode_ResourceManager::Instance() {
  static Vode_ResourceManager manager;
  return manager;
}

int Vode_ResourceManager::ContextValue(VODE_HANDLE handle) {
  return static_cast<int>(reinterpret_cast<uintptr_t>(handle));
}

Vode_ResourceManager::Record* Vode_ResourceManager::Find(VODE_HANDLE handle) {
  if (handle == nullptr) return nullptr;
  for (Record& record : records_) {
    if (record.in_use && record.handle == handle) return &record;
  }
  return nullptr;
}

const Vode_ResourceManager::Record* Vode_ResourceManager::Find(VODE_HANDLE handle) const {
  return const_cast<Vode_ResourceManager*>(this)->Find(handle);
}

VODE_HANDLE Vode_ResourceManager::CreateContext(uint16_t port) {
  if (!exit_hook_registered_) {
    exit_hook_registered_ = true;
    std::atexit(CloseAllAtExit);
  }
  if (port == VODE_PORT_AUTO_DETECT) {
    int count = 1;
    uint16_t found = VODE_PORT_AUTO_DETECT;
    if (!diaglib::FindPhonePorts(&count, &found, 0, nullptr) || count < 1 ||
        found == VODE_PORT_AUTO_DETECT) {
      return nullptr;
    }
    port = found;
  }
  for (Record& record : records_) {
    if (record.in_use && record.port == port) {
      ++record.reference_count;
      return record.handle;
    }
  }
  for (Record& record : records_) {
    if (record.in_use) continue;
    record.port = port;
    char name[64];
    std::snprintf(name, sizeof(name), "Vode_ResourceManager::CreateContext() - #%d",
                  static_cast<int>(counter_));
    record.mutex_name = name;
    record.handle = HandleFor(counter_);
    ++counter_;
    record.in_use = 1;
    record.reference_count = 1;
    return record.handle;
  }
  return nullptr;
}

Diag_Phone* Vode_ResourceManager::Phone(VODE_HANDLE handle) {
  Record* record = Find(handle);
  if (record == nullptr) return nullptr;
  if (!record->phone) {
    // Building starts the context's dispatcher thread; a system that refuses it leaves the
    // record without an object, and the caller with none.
    try {
      record->phone =
          std::make_unique<Diag_Phone>(*clock_, record->port, ContextValue(handle), tovik_mode_);
    } catch (...) {
      return nullptr;
    }
  }
  return record->phone.get();
}

bool Vode_ResourceManager::ContextPort(VODE_HANDLE handle, uint16_t* port) const {
  const Record* record = Find(handle);
  if (record == nullptr) return false;
  *port = record->port;
  return true;
}

void Vode_ResourceManager::Release(VODE_HANDLE handle, bool forced) {
  Record* record = Find(handle);
  if (record == nullptr) return;
  --record->reference_count;
  if (record->reference_count < 1 || forced) Free(*record);
}

void Vode_ResourceManager::Free(Record& record) {
  record.in_use = 0;
  // Destroying the DIAG object closes its port and stops its threads.
  record.phone.reset();
  record.mutex_name.clear();
  record.handle = nullptr;
  record.reference_count = 0;
}

void Vode_ResourceManager::CloseAllContexts() {
  for (Record& record : records_) {
    if (record.in_use) Free(record);
  }
}

std::string Vode_ResourceManager::ContextName(VODE_HANDLE handle) const {
  const Record* record = Find(handle);
  return record != nullptr ? record->mutex_name : std::string();
}

int Vode_ResourceManager::ReferenceCount(VODE_HANDLE handle) const {
  const Record* record = Find(handle);
  return record != nullptr ? record->reference_count : 0;
}

int Vode_ResourceManager::ContextsInUse() const {
  int count = 0;
  for (const Record& record : records_) count += record.in_use ? 1 : 0;
  return count;
}

}  // namespace diaglib

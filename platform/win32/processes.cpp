#include <windows.h>

#include <tlhelp32.h>

#include "platform/processes.hpp"

namespace platform {

bool ListProcessNames(std::vector<std::wstring>* names) {
  names->clear();
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return false;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  if (Process32FirstW(snapshot, &entry)) {
    do {
      entry.szExeFile[MAX_PATH - 1] = 0;
      names->push_back(entry.szExeFile);
      entry.dwSize = sizeof entry;
    } while (Process32NextW(snapshot, &entry));
  }
  CloseHandle(snapshot);
  return true;
}

}  // namespace platform

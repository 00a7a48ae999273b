// Stands in for the phone-support server beside which itemsmith must not run: only the name of
// its executable, TovikServer.exe, matters. It creates the file named by its argument once it
// runs, so that the harness knows it is there, and ends by itself after two minutes at most.
#include <windows.h>

int main(int argc, char** argv) {
  if (argc > 1) {
    HANDLE ready = CreateFileA(argv[1], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    if (ready != INVALID_HANDLE_VALUE) CloseHandle(ready);
  }
  Sleep(120000);
  return 0;
}

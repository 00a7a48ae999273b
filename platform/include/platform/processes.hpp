// The running processes' executable file names.
#pragma once

#include <string>
#include <vector>

namespace platform {

// Windows: a Tool Help snapshot walked with Process32FirstW/NextW. Linux: the file name of each
// /proc/<pid>/exe link target. False when no snapshot could be taken.
bool ListProcessNames(std::vector<std::wstring>* names);

}  // namespace platform

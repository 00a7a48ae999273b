// Finding the device, the version report, the offline switch and the disconnection.
#pragma once

#include "efstool/run_context.hpp"

namespace efstool {

// Connects (ten tries, five seconds apart) and hands the library the tool's handlers; true
// when a phone answered and its version report was printed.
bool ConnectDevice(RunContext& context);
void PrintVersionReport(RunContext& context);
// The phone's mode, call state and FTM mode on the console; the download-mode query's result.
bool PrintPhoneStatus(RunContext& context);
void EnterOfflineMode(RunContext& context);
void DisconnectDevice(RunContext& context);

}  // namespace efstool

// What itemsmith leaves for whoever runs it (a line script, the station) to read: its files, its
// verdict words, the banners that name its steps and the lines that end a run with FAIL. The
// program writes them from here and the station reads them from here, so neither can drift.
#pragma once

#include <string>

namespace common::itemsmith {

inline constexpr char kName[] = "itemsmith";

inline constexpr char kListFile[] = "KVX_nvitem.txt";
inline constexpr char kLogFile[] = "KVX_WriteNVItem_log.txt";
inline constexpr char kResultFile[] = "KVX_WriteNVItem_result.txt";

// What the result file starts with; CR LF follows.
inline constexpr char kPassVerdict[] = "[WriteNVItem PASS]";
inline constexpr char kFailVerdict[] = "[WriteNVItem FAIL]";

// A step's banner line ends so: "EjectDisk +++".
inline constexpr char kStepBannerEnd[] = " +++";

// The lines after which a run ends with FAIL; every other failure it logs (a failed eject, a
// retried search) may still be followed by a PASS.
inline constexpr char kFatalTovikRunning[] = "[Error] TovikApplicationExist ";
inline constexpr char kFatalNoPortAfterEject[] = "com port not exist after eject disk";
inline constexpr char kFatalOffline[] = "Change to offline mode fail \r\n";
inline constexpr char kFatalItemFormat[] = "\r\n---- Write NV items %s fail ----";  // the item tag
inline constexpr char kFatalReset[] = "Reset phone fail \r\n";
// The reset's answer came: the device drops off and restarts.
inline constexpr char kResetDone[] = "Reset phone ok \r\n";

// True when a run log line, without its surrounding white space, is one of the fatal lines.
bool EndsRunWithFail(const std::string& line);

}  // namespace common::itemsmith

// What treesmith leaves for whoever runs it (a line script, the station) to read, and what it
// reads itself: its modes, its files, its verdict words, the banners that open and close its
// steps, and the upload folders of each product. The program and the station both take them
// from here, so a station cannot check a template for folders the program does not read.
#pragma once

#include <string>
#include <vector>

namespace common::treesmith {

inline constexpr char kName[] = "treesmith";

// The first argument picks the mode, in any letter case; any other word, or none, is KVX.
inline constexpr char kVexaOption[] = "--VEXA";
inline constexpr char kDeleteDlOption[] = "--DeleteDLFile";

enum class Mode { kKvx, kVexa, kDeleteDl };

struct Files {
  const char* log;
  const char* result;
};
inline constexpr Files kProductFiles = {"Kvx_treesmith.log", "Kvx_treesmith_Result.txt"};
inline constexpr Files kDeleteDlFiles = {"Kvx_treesmith_Delete_DL.log",
                                         "Kvx_treesmith_Delete_DL_Result.txt"};
inline constexpr Files FilesOf(Mode mode) {
  return mode == Mode::kDeleteDl ? kDeleteDlFiles : kProductFiles;
}

// The whole content of the result file.
inline constexpr char kPassVerdict[] = "PASS";
inline constexpr char kFailVerdict[] = "FAIL";

// Every step of the run log stands between these two banners, with the step's name.
inline constexpr char kStepOpenFormat[] = "===== %s + ===== \n";
inline constexpr char kStepCloseFormat[] = "===== %s - ===== \n";

// The step a run log line opens ("===== WriteFGI + =====", trimmed, opens WriteFGI); "" for
// any other line.
std::string OpenedStep(const std::string& line);

// The upload folders. The web folders land on the device under their own name, the first '/'
// being the local folder's '\'; the others each land in one fixed device folder.
inline constexpr const char* kKvxWebFolders[] = {
    "db",         "ui",      "ui/admin",   "ui/app_game", "ui/css_js", "ui/diagnostic",
    "ui/image",   "ui/lang", "ui/menu",    "ui/security", "ui/setup",  "ui/status",
    "ui/submenu", "ui/wan",  "ui/wireless"};
inline constexpr const char* kVexaWebFolders[] = {
    "db",      "ui",      "ui/admin", "ui/app_game", "ui/css_js",  "ui/image",
    "ui/lang", "ui/menu", "ui/setup", "ui/status",   "ui/wireless"};
inline constexpr char kAppsFolder[] = "apps";

struct FixedUpload {
  const char* local;   // the local folder, or file for the phone file
  const char* device;  // the device folder it lands in, with its closing '/'; the file's path
};
inline constexpr FixedUpload kPhoneFile = {"EFS_SD\\rat_acq_order", "sd/rat_acq_order"};
inline constexpr FixedUpload kMtu = {"MTU", "nv/item_files/data/3gpp/"};
inline constexpr FixedUpload kSms = {"SMS", "/nv/item_files/modem/mmode/"};
inline constexpr FixedUpload kUeUsage = {"UE_USAGE", "/nv/item_files/modem/mmode/"};
inline constexpr FixedUpload kAcqdb = {"ACQDB", "nv/reg_files/modem/lte/rrc/csp/"};
inline constexpr FixedUpload kFgi = {"FGI", "nv/item_files/modem/lte/rrc/cap/"};

// What a run of the mode reads from its working folder, in the order it reads them, with '/'
// between folder names: a missing one fails the run. Nothing for the marker delete.
std::vector<std::string> LocalUploads(Mode mode);

}  // namespace common::treesmith

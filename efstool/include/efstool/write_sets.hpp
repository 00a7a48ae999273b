// Copying the local upload folders into the device's file system, one level deep. Each set
// succeeds only if its local folder was found and every folder creation and file write it
// attempted succeeded.
#pragma once

#include <string>

#include "efstool/run_context.hpp"

namespace efstool {

bool WriteEFS_generic(RunContext& context);
bool WriteEFS_VEXA(RunContext& context);
bool WriteAppsEFS(RunContext& context);
bool WriteACQDB(RunContext& context);
bool WriteFGI(RunContext& context);
bool WriteMTU(RunContext& context);
bool WriteSMS(RunContext& context);
bool WriteUE_USAGE(RunContext& context);
bool WritePhoneEFS(RunContext& context);

// "ui/admin" becomes ui\admin; "db" stays db.
std::string ToLocalFolder(const std::string& efs_folder);

}  // namespace efstool

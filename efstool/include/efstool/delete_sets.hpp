// Clearing the device folders the write sets are about to fill. A folder removal set is true
// when every folder of it is gone, with what was below it; a folder emptying when the folder
// holds no file.
#pragma once

#include "efstool/run_context.hpp"

namespace efstool {

// What a list-and-delete left in a folder.
enum class FolderFiles { kNoneLeft, kNotListed, kSomeStayed };

// Lists `folder` and deletes the files the listing kept, pass after pass while passes still
// remove something.
FolderFiles ListAndDeleteFiles(RunContext& context, const char* folder);
bool DeleteEFS(RunContext& context);
void DeletePhoneEFS(RunContext& context);
bool DeleteACQDB_pre(RunContext& context);
bool DeleteACQDB(RunContext& context);
bool DeleteFGI(RunContext& context);
bool DeleteMTU(RunContext& context);
bool DeleteSMS(RunContext& context);
bool DeleteUE_USAGE(RunContext& context);
// The download marker; its mode's verdict.
bool DeleteDL_Processing(RunContext& context);

}  // namespace efstool

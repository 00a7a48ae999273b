// What must hold before anything starts, so that a set-up mistake is one usage error instead of
// a FAIL on every device.
#pragma once

#include <string>

#include "station/options.hpp"

namespace station {

// The slots, the programs (found and made absolute into each job), the template for the chosen
// modes, the CSV file. Folders are made absolute. `own_folder` is where linestation itself is.
// False with one line saying what is wrong.
bool CheckBeforeStart(Options* options, const std::string& own_folder, std::string* message);

// The programs' own result and log files, which a copy of the template leaves out: an old
// verdict in the template would otherwise stand in every run folder.
bool IsProgramOutput(const std::string& file_name);

}  // namespace station

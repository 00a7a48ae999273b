// Which files the web view may serve: those under the station's working folder, and nothing a
// path can reach outside it.
#pragma once

#include <string>

namespace station {

// `encoded` is the part of a request's path after /runs/, still percent-encoded. Gives the file
// or folder it names under `work_folder`, true only when that exists and lies inside it once
// every link is followed. A ".." (plain or encoded), an absolute path, a drive or a backslash
// is refused before anything is looked up.
bool RunFileAt(const std::string& work_folder, const std::string& encoded, std::string* found);

// The bytes of a percent-encoded path; false for a broken escape or a NUL.
bool PercentDecoded(const std::string& encoded, std::string* decoded);

}  // namespace station

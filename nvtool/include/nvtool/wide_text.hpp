// The texts of the NV writer: the wide texts of device discovery and their narrow form, beside
// the one printf-style formatter behind every console and log text.
#pragma once

#include <string>

#include "common/text_format.hpp"

namespace nvtool {

using common::Format;

// The texts of device discovery are wide, but every character in them comes from one byte
// (format text, step names, SCSI identification bytes): widening and narrowing are per byte.
std::wstring Widen(const std::string& text);
std::string Narrow(const std::wstring& text);

}  // namespace nvtool

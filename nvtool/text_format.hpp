// The texts of the NV writer: printf-style formatting (the one formatter behind every console
// and log text), and the byte-wide conversions of discovery's texts.
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

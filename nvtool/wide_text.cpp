#include "nvtool/wide_text.hpp"

namespace nvtool {

std::wstring Widen(const std::string& text) {
  std::wstring wide;
  wide.reserve(text.size());
  for (const char c : text) wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
  return wide;
}

std::string Narrow(const std::wstring& text) {
  std::string narrow;
  narrow.reserve(text.size());
  for (const wchar_t c : text)
    narrow.push_back(static_cast<char>(static_cast<unsigned char>(c & 0xFF)));
  return narrow;
}

}  // namespace nvtool

#include "common/device_names.hpp"

#include <cwchar>

namespace common {
namespace {

const wchar_t* const kPortDescriptions[] = {L"USB Diagnostics", L"USB Download", L"KVX Diagnostics",
                                            L"KVX Download"};

struct CdromMatch {
  const wchar_t* vendor;
  const wchar_t* product;
};
const CdromMatch kCdromMatches[] = {{L"KVX", L"Mass storage"}, {L"Tavrel", L"Mass storage"}};

bool HasPrefix(const std::wstring& text, const wchar_t* prefix) {
  const size_t length = std::wcslen(prefix);
  return text.size() >= length && text.compare(0, length, prefix) == 0;
}

}  // namespace

bool NamesDeviceCdrom(const std::wstring& vendor, const std::wstring& product) {
  for (const CdromMatch& row : kCdromMatches) {
    if (HasPrefix(vendor, row.vendor) && HasPrefix(product, row.product)) return true;
  }
  return false;
}

bool DescriptionNamesDiagPort(const std::wstring& description) {
  for (const wchar_t* text : kPortDescriptions) {
    if (description.find(text) != std::wstring::npos) return true;
  }
  return false;
}

}  // namespace common

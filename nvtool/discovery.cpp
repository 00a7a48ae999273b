#include "nvtool/discovery.hpp"

#include "common/device_names.hpp"
#include "nvtool/nv_list.hpp"

namespace nvtool {
namespace {

constexpr size_t kVendorOffsetField = 12;
constexpr size_t kProductOffsetField = 16;

const char* const kEjectStep = "EjectDisk";
const char* const kPropertyStep = "GetDeviceProperty";

uint32_t U32At(const std::vector<uint8_t>& bytes, size_t offset) {
  if (offset + 4 > bytes.size()) return 0;
  return static_cast<uint32_t>(bytes[offset]) | static_cast<uint32_t>(bytes[offset + 1]) << 8 |
         static_cast<uint32_t>(bytes[offset + 2]) << 16 |
         static_cast<uint32_t>(bytes[offset + 3]) << 24;
}

}  // namespace

int PortNumberFromFriendlyName(const std::wstring& friendly_name) {
  const size_t open = friendly_name.find(L"(COM");
  const size_t close = friendly_name.find(L')');
  std::wstring text = friendly_name;
  if (open != std::wstring::npos && open > 0 && close != std::wstring::npos &&
      close + 1 == friendly_name.size()) {
    text = friendly_name.substr(open + 4, close - (open + 4));
  }
  // Only ASCII can be digits or blanks; anything else ends the number like any other letter.
  std::string ascii;
  for (const wchar_t c : text)
    ascii.push_back(static_cast<uint32_t>(c) < 0x80 ? static_cast<char>(c) : '?');
  return static_cast<int>(DecimalValue(ascii));
}

std::wstring DescriptorString(const std::vector<uint8_t>& descriptor, uint32_t returned,
                              size_t offset_field) {
  const size_t end = returned < descriptor.size() ? returned : descriptor.size();
  const uint32_t offset = U32At(descriptor, offset_field);
  std::wstring text;
  if (offset == 0) return text;
  for (size_t i = offset; i < end && descriptor[i] != 0 && text.size() < kScsiStringMax; ++i) {
    text.push_back(static_cast<wchar_t>(descriptor[i]));
  }
  return text;
}

bool Discovery::SearchComPort(int* port) {
  uint32_t error = 0;
  std::unique_ptr<platform::ComPortDeviceSet> set = devices_.ComPorts(&error);
  if (!set) return false;
  bool found = false;
  for (uint32_t index = 0; !found && set->Enumerate(index); ++index) {
    std::wstring text;
    if (!set->DeviceDescription(index, &text) || !common::DescriptionNamesDiagPort(text)) continue;
    text.clear();
    set->FriendlyName(index, &text);
    const int number = PortNumberFromFriendlyName(text);
    if (link_.OpenComPort(number) == 0 && link_.DiagVersionRequest()) {
      *port = number;
      found = true;
    }
  }
  return found;
}

bool Discovery::EjectDisk() {
  pass_ = 0;
  for (;;) {
    uint32_t error = 0;
    std::unique_ptr<platform::CdromInterfaceSet> set = devices_.CdromInterfaces(&error);
    if (!set) {
      Print(Format("%s - SetupDiGetClassDevs failed : %d\n", kEjectStep, static_cast<int>(error)));
      return false;
    }
    Print(std::string(70, '='));
    for (uint32_t index = 0;; ++index) {
      Print(Format("\nEnumerate device : No.%d\r\n", static_cast<int>(index)));
      vendor_.clear();
      product_.clear();
      if (!GetDeviceProperty(*set, index)) break;
    }
    set.reset();
    if (eject_sent_) return true;
    Print(Format("Cannot find specific Disk and Re-Enumrate : %dth times\n", pass_ + 1));
    clock_.Pause(kEjectPassPauseMs);
    if (++pass_ == kEjectPasses) return false;
  }
}

bool Discovery::GetDeviceProperty(platform::CdromInterfaceSet& set, uint32_t index) {
  uint32_t error = 0;
  if (!set.EnumerateInterface(index, &error)) {
    if (error == platform::kErrorNoMoreItems) {
      Print("Get no more device items.\r\n");
    } else {
      Print(Format("SetupDiEnumDeviceInterfaces failed : %d\r\n", static_cast<int>(error)));
    }
    return false;
  }

  // From here on a failure belongs to this interface only: the device may be the next one.
  uint32_t size = 0;
  if (set.QueryDetailSize(&size, &error) != platform::StepResult::kOk) {
    Print(Format("%s - SetupDiGetDeviceInterfaceDetail failed : %d\r\n", kPropertyStep,
                 static_cast<int>(error)));
    return true;
  }
  switch (set.ReadDetail(size, &error)) {
    case platform::StepResult::kOk:
      break;
    case platform::StepResult::kOutOfMemory:
      Print(Format("%s - Allocate interface detail data memory error.\r\n", kPropertyStep));
      return true;
    case platform::StepResult::kFailed:
      Print(Format("%s - SetupDiGetDeviceInterfaceDetail failed : %d\n", kPropertyStep,
                   static_cast<int>(error)));
      return true;
  }
  std::unique_ptr<platform::StorageDevice> device = set.OpenDevice(&error);
  if (!device) {
    Print(Format("%s - CreateFile failed with error: %d\r\n", kPropertyStep,
                 static_cast<int>(error)));
    return true;
  }

  std::vector<uint8_t> descriptor;
  uint32_t returned = 0;
  if (!device->QueryDeviceDescriptor(&descriptor, &returned, &error)) {
    Print(Format("%s - IOCTL_STORAGE_QUERY_PROPERTY failed %d.\r\n", kPropertyStep,
                 static_cast<int>(error)));
    device->Close();
    return true;
  }
  vendor_ = DescriptorString(descriptor, returned, kVendorOffsetField);
  if (!vendor_.empty()) Print(Format("VID : %s\r\n", Narrow(vendor_).c_str()));
  product_ = DescriptorString(descriptor, returned, kProductOffsetField);
  if (!product_.empty()) Print(Format("PID : %s\r\n", Narrow(product_).c_str()));

  if (MatchMassStorage()) {
    clock_.Pause(kBeforeEjectPauseMs);
    Print("[Notice] Device match, send eject SCSI command\r\n");
    if (device->SendScsiCommand(kEjectCdb, &error)) {
      out_.WriteLogRaw("Send eject SCSI command successfully \r\n");
      Print("[Notice]Send eject SCSI command successfully\r\n");
      eject_sent_ = true;
    } else {
      out_.WriteLogRaw("Send eject SCSI command failed \r\n");
      Print(Format("[Notice]Send eject SCSI command failed : %d\r\n", static_cast<int>(error)));
    }
  }

  if (!device->Close()) Print(Format("%s - Failed to close device handle.\n", kPropertyStep));
  return true;
}

bool Discovery::MatchMassStorage() {
  if (!common::NamesDeviceCdrom(vendor_, product_)) return false;
  out_.WriteLogRaw("Find KVX Mass storage \r\n");
  return true;
}

}  // namespace nvtool

// Device discovery on Windows: SetupAPI sets for the COM port and CD-ROM interface classes, the
// storage property query and the SCSI pass-through eject.
#include <windows.h>

#include <setupapi.h>
#include <winioctl.h>
#include <ntddscsi.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/device_discovery.hpp"
#include "win32_usb_location.hpp"

namespace platform {
namespace {

constexpr DWORD kPropertyCharacters = 256;
constexpr DWORD kDescriptorBuffer = 512;

// The eject request: the pass-through header, a filler, the sense buffer and a data buffer.
struct ScsiEjectRecord {
  SCSI_PASS_THROUGH header;
  ULONG filler;
  UCHAR sense[32];
  UCHAR data[512];
};

#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(SCSI_PASS_THROUGH) == 44, "pass-through header of a 32-bit process");
static_assert(offsetof(ScsiEjectRecord, sense) == 48, "sense buffer offset");
static_assert(offsetof(ScsiEjectRecord, data) == 80, "data buffer offset");
static_assert(sizeof(ScsiEjectRecord) == 592, "eject record size");
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) == 6, "detail record fixed part");
#endif
static_assert(sizeof(STORAGE_PROPERTY_QUERY) == 12, "storage property query");

class SetupComPortSet final : public ComPortDeviceSet {
 public:
  explicit SetupComPortSet(HDEVINFO set) : set_(set) {
    // A run pinned to a USB slot walks only the devices there, under indices of its own.
    const UsbPin pin = ReadUsbPin();
    pinned_ = pin.state != UsbPin::State::kUnpinned;
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    for (DWORD i = 0; pinned_ && SetupDiEnumDeviceInfo(set_, i, &data); ++i) {
      if (win32::DeviceAtLocation(data.DevInst, pin)) visible_.push_back(i);
    }
  }
  ~SetupComPortSet() override { SetupDiDestroyDeviceInfoList(set_); }

  bool Enumerate(uint32_t index) override { return Select(index); }

  bool DeviceDescription(uint32_t index, std::wstring* text) override {
    return Property(index, SPDRP_DEVICEDESC, text);
  }
  bool FriendlyName(uint32_t index, std::wstring* text) override {
    return Property(index, SPDRP_FRIENDLYNAME, text);
  }

 private:
  bool Select(uint32_t index) {
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    if (pinned_ && index >= visible_.size()) return false;
    if (!SetupDiEnumDeviceInfo(set_, pinned_ ? visible_[index] : index, &data)) return false;
    data_ = data;
    index_ = index;
    selected_ = true;
    return true;
  }

  bool Property(uint32_t index, DWORD property, std::wstring* text) {
    if ((!selected_ || index_ != index) && !Select(index)) return false;
    WCHAR buffer[kPropertyCharacters] = {};
    if (!SetupDiGetDeviceRegistryPropertyW(set_, &data_, property, nullptr,
                                           reinterpret_cast<PBYTE>(buffer), sizeof buffer,
                                           nullptr)) {
      return false;
    }
    buffer[kPropertyCharacters - 1] = 0;
    *text = buffer;
    return true;
  }

  HDEVINFO set_;
  SP_DEVINFO_DATA data_{};
  uint32_t index_ = 0;
  bool selected_ = false;
  bool pinned_ = false;
  std::vector<DWORD> visible_;
};

class HandleStorageDevice final : public StorageDevice {
 public:
  explicit HandleStorageDevice(HANDLE handle) : handle_(handle) {}
  ~HandleStorageDevice() override { Close(); }

  bool QueryDeviceDescriptor(std::vector<uint8_t>* descriptor, uint32_t* returned,
                             uint32_t* error) override {
    STORAGE_PROPERTY_QUERY query{};
    query.PropertyId = StorageDeviceProperty;
    query.QueryType = PropertyStandardQuery;
    std::vector<uint8_t> buffer(kDescriptorBuffer, 0);
    DWORD count = 0;
    if (!DeviceIoControl(handle_, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, buffer.data(),
                         kDescriptorBuffer, &count, nullptr)) {
      *error = GetLastError();
      return false;
    }
    *descriptor = std::move(buffer);
    *returned = count;
    *error = 0;
    return true;
  }

  bool SendScsiCommand(const uint8_t (&cdb)[6], uint32_t* error) override {
    ScsiEjectRecord record;
    std::memset(&record, 0, sizeof record);
    record.header.Length = sizeof(SCSI_PASS_THROUGH);
    record.header.PathId = 0;
    record.header.TargetId = 1;
    record.header.Lun = 0;
    record.header.CdbLength = 6;
    record.header.SenseInfoLength = 24;
    record.header.DataIn = SCSI_IOCTL_DATA_IN;
    record.header.DataTransferLength = 0;
    record.header.TimeOutValue = 2;
    record.header.DataBufferOffset = offsetof(ScsiEjectRecord, data);
    record.header.SenseInfoOffset = offsetof(ScsiEjectRecord, sense);
    std::memcpy(record.header.Cdb, cdb, sizeof cdb);
    DWORD count = 0;
    if (!DeviceIoControl(handle_, IOCTL_SCSI_PASS_THROUGH, &record, sizeof(SCSI_PASS_THROUGH),
                         &record, offsetof(ScsiEjectRecord, data), &count, nullptr)) {
      *error = GetLastError();
      return false;
    }
    *error = 0;
    return true;
  }

  bool Close() override {
    if (handle_ == INVALID_HANDLE_VALUE) return false;
    const bool ok = CloseHandle(handle_) != 0;
    handle_ = INVALID_HANDLE_VALUE;
    return ok;
  }

 private:
  HANDLE handle_;
};

class SetupCdromSet final : public CdromInterfaceSet {
 public:
  explicit SetupCdromSet(HDEVINFO set) : set_(set) {
    // A run pinned to a USB slot walks only the CD-ROMs there, under indices of its own.
    const UsbPin pin = ReadUsbPin();
    pinned_ = pin.state != UsbPin::State::kUnpinned;
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    for (DWORD i = 0; pinned_ && SetupDiEnumDeviceInterfaces(
                                     set_, nullptr, &win32::kGuidDevinterfaceCdrom, i, &data);
         ++i) {
      SP_DEVINFO_DATA device{};
      device.cbSize = sizeof device;
      DWORD required = 0;
      SetupDiGetDeviceInterfaceDetailW(set_, &data, nullptr, 0, &required, nullptr);
      std::vector<BYTE> record(required > sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)
                                   ? required
                                   : sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) + 2);
      auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(record.data());
      detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
      if (SetupDiGetDeviceInterfaceDetailW(set_, &data, detail, static_cast<DWORD>(record.size()),
                                           nullptr, &device) &&
          win32::DeviceAtLocation(device.DevInst, pin)) {
        visible_.push_back(i);
      }
    }
  }
  ~SetupCdromSet() override { SetupDiDestroyDeviceInfoList(set_); }

  bool EnumerateInterface(uint32_t index, uint32_t* error) override {
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    path_.clear();
    if (pinned_ && index >= visible_.size()) {
      *error = ERROR_NO_MORE_ITEMS;
      selected_ = false;
      return false;
    }
    if (!SetupDiEnumDeviceInterfaces(set_, nullptr, &win32::kGuidDevinterfaceCdrom,
                                     pinned_ ? visible_[index] : index, &data)) {
      *error = GetLastError();
      selected_ = false;
      return false;
    }
    interface_ = data;
    selected_ = true;
    *error = 0;
    return true;
  }

  StepResult QueryDetailSize(uint32_t* size, uint32_t* error) override {
    DWORD required = 0;
    if (SetupDiGetDeviceInterfaceDetailW(set_, &interface_, nullptr, 0, &required, nullptr)) {
      *size = required;
      *error = 0;
      return StepResult::kOk;
    }
    *error = GetLastError();
    if (*error != ERROR_INSUFFICIENT_BUFFER) return StepResult::kFailed;
    *size = required;
    return StepResult::kOk;
  }

  StepResult ReadDetail(uint32_t size, uint32_t* error) override {
    auto* detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(std::calloc(1, size));
    if (detail == nullptr) {
      *error = ERROR_NOT_ENOUGH_MEMORY;
      return StepResult::kOutOfMemory;
    }
    // The size of the fixed part, not of the whole allocation.
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (!SetupDiGetDeviceInterfaceDetailW(set_, &interface_, detail, size, nullptr, nullptr)) {
      *error = GetLastError();
      std::free(detail);
      return StepResult::kFailed;
    }
    // The path ends within the record; the copy is bounded by the allocation in case it does not.
    const size_t offset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);
    const size_t characters = size > offset ? (size - offset) / sizeof(WCHAR) : 0;
    size_t length = 0;
    while (length < characters && detail->DevicePath[length] != 0) ++length;
    path_.assign(detail->DevicePath, length);
    std::free(detail);
    *error = 0;
    return StepResult::kOk;
  }

  std::unique_ptr<StorageDevice> OpenDevice(uint32_t* error) override {
    if (path_.empty()) {
      *error = ERROR_INVALID_PARAMETER;
      return nullptr;
    }
    HANDLE handle =
        CreateFileW(path_.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    path_.clear();
    if (handle == INVALID_HANDLE_VALUE) {
      *error = GetLastError();
      return nullptr;
    }
    *error = 0;
    return std::make_unique<HandleStorageDevice>(handle);
  }

 private:
  HDEVINFO set_;
  SP_DEVICE_INTERFACE_DATA interface_{};
  bool selected_ = false;
  std::wstring path_;
  bool pinned_ = false;
  std::vector<DWORD> visible_;
};

class SetupDeviceDiscovery final : public DeviceDiscovery {
 public:
  std::unique_ptr<ComPortDeviceSet> ComPorts(uint32_t* error) override {
    HDEVINFO set = SetupDiGetClassDevsW(&win32::kGuidDevinterfaceComport, nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
      *error = GetLastError();
      return nullptr;
    }
    *error = 0;
    return std::make_unique<SetupComPortSet>(set);
  }

  std::unique_ptr<CdromInterfaceSet> CdromInterfaces(uint32_t* error) override {
    HDEVINFO set = SetupDiGetClassDevsW(&win32::kGuidDevinterfaceCdrom, nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
      *error = GetLastError();
      return nullptr;
    }
    *error = 0;
    return std::make_unique<SetupCdromSet>(set);
  }
};

}  // namespace

std::unique_ptr<DeviceDiscovery> MakeDeviceDiscovery() {
  return std::make_unique<SetupDeviceDiscovery>();
}

}  // namespace platform

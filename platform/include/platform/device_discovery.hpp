// USB device discovery for the NV writer: the present COM port devices with their descriptions,
// and the present CD-ROM interfaces with the storage queries and the SCSI eject. Each call maps
// to one step of the Windows SetupAPI and storage-control sequence, so that the walk, its
// messages and its error handling stay above this header.
// It keeps Windows's vocabulary because the tools are defined by those calls: the Linux side
// answers the same questions from sysfs, so one walk above it serves both.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/error_codes.hpp"

namespace platform {

// The set of present devices exposing the COM port interface.
class ComPortDeviceSet {
 public:
  virtual ~ComPortDeviceSet() = default;
  // SetupDiEnumDeviceInfo at `index`; false ends the walk.
  virtual bool Enumerate(uint32_t index) = 0;
  // SPDRP_DEVICEDESC of the device at `index`, at most 255 characters.
  virtual bool DeviceDescription(uint32_t index, std::wstring* text) = 0;
  // SPDRP_FRIENDLYNAME of the device at `index`, at most 255 characters.
  virtual bool FriendlyName(uint32_t index, std::wstring* text) = 0;
};

// An opened CD-ROM device.
class StorageDevice {
 public:
  virtual ~StorageDevice() = default;
  // IOCTL_STORAGE_QUERY_PROPERTY for StorageDeviceProperty / PropertyStandardQuery into a
  // zeroed 512-byte buffer: the STORAGE_DEVICE_DESCRIPTOR bytes as the driver returned them
  // (*returned is the count it reported). False with *error on failure.
  virtual bool QueryDeviceDescriptor(std::vector<uint8_t>* descriptor, uint32_t* returned,
                                     uint32_t* error) = 0;
  // Sends the 6-byte CDB through IOCTL_SCSI_PASS_THROUGH (Windows) or SG_IO (POSIX) with no
  // data transfer. False with *error when the driver rejects it.
  virtual bool SendScsiCommand(const uint8_t (&cdb)[6], uint32_t* error) = 0;
  virtual bool Close() = 0;
};

enum class StepResult { kOk, kFailed, kOutOfMemory };

// The set of present CD-ROM interfaces.
class CdromInterfaceSet {
 public:
  virtual ~CdromInterfaceSet() = default;
  // SetupDiEnumDeviceInterfaces at `index`. On failure *error is kErrorNoMoreItems at the end.
  virtual bool EnumerateInterface(uint32_t index, uint32_t* error) = 0;
  // SetupDiGetDeviceInterfaceDetailW asked for the size of the current interface's detail
  // record; kOk when the platform answered with the size (insufficient buffer).
  virtual StepResult QueryDetailSize(uint32_t* size, uint32_t* error) = 0;
  // Allocates the detail record of `size` bytes and reads it; kOutOfMemory when the
  // allocation failed.
  virtual StepResult ReadDetail(uint32_t size, uint32_t* error) = 0;
  // Opens the device path of the detail record read last (read and write access, shared for
  // reading and writing, OPEN_EXISTING); null with *error on failure.
  virtual std::unique_ptr<StorageDevice> OpenDevice(uint32_t* error) = 0;
};

class DeviceDiscovery {
 public:
  virtual ~DeviceDiscovery() = default;
  // SetupDiGetClassDevsW for GUID_DEVINTERFACE_COMPORT, present devices; null with *error.
  virtual std::unique_ptr<ComPortDeviceSet> ComPorts(uint32_t* error) = 0;
  // SetupDiGetClassDevsW for GUID_DEVINTERFACE_CDROM, present interfaces; null with *error.
  virtual std::unique_ptr<CdromInterfaceSet> CdromInterfaces(uint32_t* error) = 0;
};

std::unique_ptr<DeviceDiscovery> MakeDeviceDiscovery();

}  // namespace platform

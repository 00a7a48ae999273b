// Finding the device: its DIAG port among the COM ports by USB description, and, while the
// device still shows only its virtual CD-ROM, the eject that makes it restart with its ports.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "nvtool/diag_link.hpp"
#include "nvtool/output_channels.hpp"
#include "nvtool/wide_text.hpp"
#include "platform/clock.hpp"
#include "platform/device_discovery.hpp"

namespace nvtool {

inline constexpr int kEjectPasses = 20;
inline constexpr uint32_t kEjectPassPauseMs = 2000;
inline constexpr uint32_t kBeforeEjectPauseMs = 1000;
inline constexpr size_t kScsiStringMax = 127;
// START STOP UNIT with LoEj set and Start clear: eject the medium.
inline constexpr uint8_t kEjectCdb[6] = {0x1B, 0x00, 0x46, 0x00, 0x02, 0x00};

// The n of "... (COMn)", or the whole name converted when it does not end that way.
int PortNumberFromFriendlyName(const std::wstring& friendly_name);
// The NUL-ended SCSI string whose offset is the u32 at `offset_field` of the storage device
// descriptor, read within the `returned` bytes the driver reported, at most 127 characters.
std::wstring DescriptorString(const std::vector<uint8_t>& descriptor, uint32_t returned,
                              size_t offset_field);

class Discovery {
 public:
  Discovery(platform::DeviceDiscovery& devices, DiagLink& link, OutputChannels& out,
            platform::Clock& clock)
      : devices_(devices), link_(link), out_(out), clock_(clock) {}

  // On true the DIAG port is open on *port and has answered a version request.
  bool SearchComPort(int* port);
  // True once any eject, in this call or earlier in the run, was accepted by the driver.
  bool EjectDisk();
  // Examines one CD-ROM interface; false ends the current pass.
  bool GetDeviceProperty(platform::CdromInterfaceSet& set, uint32_t index);
  bool MatchMassStorage();

  const std::wstring& vendor() const { return vendor_; }
  const std::wstring& product() const { return product_; }

 private:
  void Print(const std::string& text) { out_.ConsoleWide(Widen(text)); }

  platform::DeviceDiscovery& devices_;
  DiagLink& link_;
  OutputChannels& out_;
  platform::Clock& clock_;
  std::wstring vendor_;
  std::wstring product_;
  bool eject_sent_ = false;
  int pass_ = 0;
};

}  // namespace nvtool

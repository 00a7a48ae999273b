// A scripted OS adapter for the NV writer: a COM port whose replies a test decides per
// request, and a device discovery with scripted COM port devices and CD-ROM interfaces.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/diag_frame.hpp"
#include "platform/clock.hpp"
#include "platform/com_port.hpp"
#include "platform/device_discovery.hpp"

namespace fake {

using Bytes = std::vector<uint8_t>;

inline Bytes Frame(const Bytes& packet) {
  Bytes out(packet.size() * 2 + 8);
  out.resize(common::EncodeFrame(packet.data(), packet.size(), out.data(), out.size()));
  return out;
}

inline Bytes Unframe(const Bytes& frame) {
  Bytes out(frame.size());
  size_t n = frame.size();
  if (n && frame[n - 1] == common::kFrameFlag) --n;
  out.resize(common::UnescapeBytes(frame.data(), n, out.data(), out.size()));
  if (out.size() >= 2) out.resize(out.size() - 2);
  return out;
}

// What one COM port number does: whether it opens, and how it answers each request packet
// (each inner vector is what one Read returns; no chunk left means the read times out).
struct PortScript {
  uint32_t open_error = 0;
  uint32_t capabilities = platform::kPcfIntTimeouts;
  std::function<std::vector<Bytes>(const Bytes& request)> answer;
};

// Shared between the factory and the ports it makes so the test sees every call.
struct PortLog {
  std::vector<int> opened;
  std::vector<Bytes> requests;  // unframed
  std::vector<Bytes> frames;    // as written
  std::vector<std::string> calls;
  platform::CommTimeouts timeouts;
  platform::LineSettings line;
  int reads = 0;
};

class FakeComPort final : public platform::ComPort {
 public:
  FakeComPort(platform::Clock& clock, std::map<int, PortScript>& scripts, PortLog& log)
      : clock_(clock), scripts_(scripts), log_(log) {}

  uint32_t Open(int number, platform::IoMode) override {
    log_.opened.push_back(number);
    auto it = scripts_.find(number);
    if (it == scripts_.end()) return last_error_ = platform::kErrorFileNotFound;
    if (it->second.open_error) return last_error_ = it->second.open_error;
    script_ = &it->second;
    last_error_ = 0;
    return 0;
  }
  void Close() override {
    log_.calls.push_back("Close");
    script_ = nullptr;
  }
  bool IsOpen() const override { return script_ != nullptr; }
  bool Setup(uint32_t in, uint32_t out) override {
    log_.calls.push_back("Setup " + std::to_string(in) + " " + std::to_string(out));
    return true;
  }
  bool GetProperties(platform::CommProperties* p) override {
    log_.calls.push_back("GetProperties " + std::to_string(p->wPacketLength));
    p->dwProvCapabilities = script_->capabilities;
    return true;
  }
  bool GetTimeouts(platform::CommTimeouts* t) override {
    *t = platform::CommTimeouts{7, 7, 7, 7, 7};
    return true;
  }
  bool SetTimeouts(const platform::CommTimeouts& t) override {
    log_.timeouts = t;
    return true;
  }
  bool GetState(platform::LineSettings* s) override {
    platform::LineSettings odd;
    odd.BaudRate = 9600;
    odd.ByteSize = 7;
    odd.Parity = 2;
    odd.fOutxCtsFlow = odd.fOutX = odd.fInX = odd.fAbortOnError = true;
    odd.XonLim = odd.XoffLim = 100;
    odd.XonChar = 0x11;
    odd.XoffChar = 0x13;
    *s = odd;
    return true;
  }
  bool SetState(const platform::LineSettings& s) override {
    log_.line = s;
    return true;
  }
  bool Escape(platform::CommFunction f) override {
    log_.calls.push_back(f == platform::CommFunction::kSetRts ? "SETRTS"
                         : f == platform::CommFunction::kClrDtr ? "CLRDTR" : "other escape");
    return true;
  }
  bool Purge(uint32_t flags) override {
    log_.calls.push_back("Purge " + std::to_string(flags));
    pending_.clear();
    return true;
  }
  bool Read(uint8_t* buffer, uint32_t count, uint32_t* got) override {
    ++log_.reads;
    *got = 0;
    last_error_ = 0;
    if (pending_.empty()) {
      clock_.Wait(500, [](uint32_t) { return false; });
      return true;
    }
    Bytes chunk = pending_.front();
    pending_.pop_front();
    if (chunk.size() > count) {
      pending_.push_front(Bytes(chunk.begin() + count, chunk.end()));
      chunk.resize(count);
    }
    std::copy(chunk.begin(), chunk.end(), buffer);
    *got = static_cast<uint32_t>(chunk.size());
    clock_.Wait(500, [](uint32_t) { return true; });
    return true;
  }
  bool Write(const uint8_t* bytes, uint32_t count, uint32_t* written) override {
    Bytes frame(bytes, bytes + count);
    log_.frames.push_back(frame);
    log_.requests.push_back(Unframe(frame));
    if (script_->answer) {
      for (Bytes& chunk : script_->answer(log_.requests.back())) pending_.push_back(std::move(chunk));
    }
    *written = count;
    last_error_ = 0;
    return true;
  }
  bool QueueStatus(uint32_t*, uint32_t*) override { return false; }
  bool WaitReadable(uint32_t) override { return false; }
  uint32_t LastError() const override { return last_error_; }

 private:
  platform::Clock& clock_;
  std::map<int, PortScript>& scripts_;
  PortLog& log_;
  PortScript* script_ = nullptr;
  std::deque<Bytes> pending_;
  uint32_t last_error_ = 0;
};

struct ComDevice {
  std::wstring description;
  std::wstring friendly_name;
};

// One CD-ROM interface: the step that fails (with its error), else the descriptor it returns.
struct CdromScript {
  enum class Fail { kNone, kEnumerate, kDetailSize, kAllocate, kDetail, kOpen, kQuery } fail = Fail::kNone;
  uint32_t error = 0;
  std::vector<uint8_t> descriptor;
  bool eject_accepted = true;
  bool close_fails = false;
};

// A descriptor as a storage driver returns it: the offsets at 12 and 16, strings after 36.
inline std::vector<uint8_t> Descriptor(const std::string& vendor, const std::string& product) {
  std::vector<uint8_t> d(512, 0);
  const uint32_t vendor_at = 40, product_at = static_cast<uint32_t>(vendor_at + vendor.size() + 1);
  for (int i = 0; i < 4; ++i) {
    d[12 + i] = static_cast<uint8_t>(vendor_at >> (8 * i));
    d[16 + i] = static_cast<uint8_t>(product_at >> (8 * i));
  }
  std::copy(vendor.begin(), vendor.end(), d.begin() + vendor_at);
  std::copy(product.begin(), product.end(), d.begin() + product_at);
  return d;
}

struct DiscoveryLog {
  int cdrom_sets = 0;
  std::vector<std::vector<uint8_t>> ejects;  // CDBs sent
  int closes = 0;
};

class FakeStorageDevice final : public platform::StorageDevice {
 public:
  FakeStorageDevice(const CdromScript& s, DiscoveryLog& log) : s_(s), log_(log) {}
  bool QueryDeviceDescriptor(std::vector<uint8_t>* d, uint32_t* returned, uint32_t* error) override {
    if (s_.fail == CdromScript::Fail::kQuery) return *error = s_.error, false;
    *d = s_.descriptor;
    *returned = static_cast<uint32_t>(d->size());
    return true;
  }
  bool SendScsiCommand(const uint8_t (&cdb)[6], uint32_t* error) override {
    log_.ejects.emplace_back(cdb, cdb + 6);
    if (!s_.eject_accepted) *error = 1117;
    return s_.eject_accepted;
  }
  bool Close() override {
    ++log_.closes;
    return !s_.close_fails;
  }

 private:
  const CdromScript& s_;
  DiscoveryLog& log_;
};

class FakeCdromSet final : public platform::CdromInterfaceSet {
 public:
  FakeCdromSet(const std::vector<CdromScript>& drives, DiscoveryLog& log) : drives_(drives), log_(log) {}
  bool EnumerateInterface(uint32_t index, uint32_t* error) override {
    current_ = index;
    if (index >= drives_.size()) return *error = platform::kErrorNoMoreItems, false;
    if (Is(CdromScript::Fail::kEnumerate)) return *error = drives_[index].error, false;
    return true;
  }
  platform::StepResult QueryDetailSize(uint32_t* size, uint32_t* error) override {
    if (Is(CdromScript::Fail::kDetailSize)) return *error = drives_[current_].error, platform::StepResult::kFailed;
    *size = 64;
    return platform::StepResult::kOk;
  }
  platform::StepResult ReadDetail(uint32_t, uint32_t* error) override {
    if (Is(CdromScript::Fail::kAllocate)) return platform::StepResult::kOutOfMemory;
    if (Is(CdromScript::Fail::kDetail)) return *error = drives_[current_].error, platform::StepResult::kFailed;
    return platform::StepResult::kOk;
  }
  std::unique_ptr<platform::StorageDevice> OpenDevice(uint32_t* error) override {
    if (Is(CdromScript::Fail::kOpen)) return *error = drives_[current_].error, nullptr;
    return std::make_unique<FakeStorageDevice>(drives_[current_], log_);
  }

 private:
  bool Is(CdromScript::Fail f) const { return drives_[current_].fail == f; }
  const std::vector<CdromScript>& drives_;
  DiscoveryLog& log_;
  uint32_t current_ = 0;
};

class FakeComSet final : public platform::ComPortDeviceSet {
 public:
  explicit FakeComSet(const std::vector<ComDevice>& devices) : devices_(devices) {}
  bool Enumerate(uint32_t index) override { return index < devices_.size(); }
  bool DeviceDescription(uint32_t index, std::wstring* text) override {
    *text = devices_[index].description;
    return true;
  }
  bool FriendlyName(uint32_t index, std::wstring* text) override {
    *text = devices_[index].friendly_name;
    return true;
  }

 private:
  const std::vector<ComDevice>& devices_;
};

class FakeDiscovery final : public platform::DeviceDiscovery {
 public:
  std::vector<ComDevice> com_devices;
  std::vector<CdromScript> cdroms;
  bool cdrom_set_fails = false;
  DiscoveryLog log;

  std::unique_ptr<platform::ComPortDeviceSet> ComPorts(uint32_t*) override {
    return std::make_unique<FakeComSet>(com_devices);
  }
  std::unique_ptr<platform::CdromInterfaceSet> CdromInterfaces(uint32_t* error) override {
    ++log.cdrom_sets;
    if (cdrom_set_fails) return *error = 13, nullptr;
    return std::make_unique<FakeCdromSet>(cdroms, log);
  }
};

// A device that answers version, mode and NV requests correctly, each reply in one read.
struct AnsweringDevice {
  std::map<uint16_t, Bytes> items;  // 128 data bytes each
  std::vector<Bytes> Answer(const Bytes& request) {
    if (request.empty()) return {};
    if (request[0] == 0x00) return {Frame(Bytes(55, 0))};
    if (request[0] == 0x29) return {Frame(request)};
    if ((request[0] == 0x26 || request[0] == 0x27) && request.size() == 133) {
      const uint16_t id = static_cast<uint16_t>(request[1] | request[2] << 8);
      if (request[0] == 0x27) items[id] = Bytes(request.begin() + 3, request.begin() + 131);
      Bytes reply = request;
      const Bytes& data = items.count(id) ? items[id] : (items[id] = Bytes(128, 0));
      std::copy(data.begin(), data.end(), reply.begin() + 3);
      return {Frame(reply)};
    }
    return {};
  }
};

}  // namespace fake

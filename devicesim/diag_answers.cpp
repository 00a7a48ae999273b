// The DIAG answers outside the file system: version and extended build id, mode control and
// the call manager state, NV item reads and writes with the items' state file. Requests are
// checked against their fixed lengths here, and subsystem requests handed on.
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>

#include "devicesim/device_impl.hpp"
#include "devicesim/wire_fields.hpp"

namespace devicesim {

namespace fs = std::filesystem;

namespace {

constexpr uint16_t kNvStatusInactive = 5;
// Operating modes; 2, 3 and 4 are the offline ones.
constexpr int kModeFtm = 1, kModeOnline = 5, kModeLowPower = 6;

}  // namespace

Bytes VirtualDevice::Impl::With(uint8_t code, const Bytes& request) {
  // Sized first: growing a one-byte vector by insert draws a false array-bounds warning from
  // g++ 12 at -O2.
  Bytes out(request.size() + 1);
  out[0] = code;
  std::copy(request.begin(), request.end(), out.begin() + 1);
  return out;
}

// Requests of a fixed size must have exactly that size when lengths are checked strictly,
// and at least that size otherwise.
bool VirtualDevice::Impl::LengthFits(const Bytes& req, size_t fixed) const {
  return opt.strict_lengths ? req.size() == fixed : req.size() >= fixed;
}

bool VirtualDevice::Impl::Answer(const Bytes& req, Bytes* rsp) {
  if (req.empty()) {
    *rsp = {kBadLength};
    return true;
  }
  switch (req[0]) {
    case kVersion:
      if (!LengthFits(req, 1)) break;
      *rsp = VersionResponse();
      return true;
    case kLoopback:
      *rsp = req;
      return true;
    case kExtBuildId:
      if (!LengthFits(req, 1)) break;
      *rsp = ExtBuildIdResponse();
      return true;
    case kModeControl:
      if (!LengthFits(req, 3)) break;
      *rsp = req;
      OnModeRequest(Get16(req, 1));
      return true;
    case kNvRead:
    case kNvWrite:
      if (req.size() < 5) break;
      *rsp = NvResponse(req);
      return true;
    case kSubsystem:
      if (req.size() < 4) break;
      if (req[1] == kCallManager && Get16(req, 2) == 0) {
        if (!LengthFits(req, 4)) break;
        *rsp = Bytes(req.begin(), req.begin() + 4);
        Put32(rsp, 4, opt.call_state);
        Put32(rsp, 8, static_cast<uint32_t>(mode));
        Put32(rsp, 12, opt.system_mode);
        return true;
      }
      if (req[1] == kEfs2) return Efs2(req, rsp);
      *rsp = With(kBadCommand, req);
      return true;
    default:
      *rsp = With(kBadCommand, req);
      return true;
  }
  *rsp = With(kBadLength, req);
  return true;
}

Bytes VirtualDevice::Impl::VersionResponse() const {
  Bytes r(55, 0);
  r[0] = kVersion;
  PutFixed(&r, 1, opt.comp_date, 11);
  PutFixed(&r, 12, opt.comp_time, 8);
  PutFixed(&r, 20, opt.rel_date, 11);
  PutFixed(&r, 31, opt.rel_time, 8);
  PutFixed(&r, 39, opt.ver_dir, 8);
  r[47] = opt.scm;
  r[48] = opt.mob_cai_rev;
  r[49] = opt.mob_model;
  Put16(&r, 50, opt.mob_firm_rev);
  r[52] = opt.slot_cycle_index;
  r[53] = opt.voc_maj;
  r[54] = opt.voc_min;
  if (long_version) {
    // Resized and filled rather than grown by insert, which draws a false array-bounds warning
    // from g++ 12 at -O2.
    static const uint8_t kTail[] = {0xDE, 0xAD, 0xBE, 0xEF, 0x00};
    r.resize(r.size() + sizeof kTail);
    std::copy(kTail, kTail + sizeof kTail, r.end() - sizeof kTail);
  }
  return r;
}

Bytes VirtualDevice::Impl::ExtBuildIdResponse() const {
  Bytes r(12, 0);
  r[0] = kExtBuildId;
  Put32(&r, 4, opt.msm_hw_version);
  Put32(&r, 8, opt.build_mobile_model);
  r.insert(r.end(), opt.software_revision.begin(), opt.software_revision.end());
  r.push_back(0);
  r.insert(r.end(), opt.model_string.begin(), opt.model_string.end());
  r.push_back(0);
  return r;
}

void VirtualDevice::Impl::OnModeRequest(uint16_t requested) {
  int target = 0;
  switch (requested) {
    case mode_request::kOfflineAnalog:
    case mode_request::kOfflineDigital:
      target = opt.offline_mode;
      break;
    case mode_request::kFtm:
      target = kModeFtm;
      break;
    case mode_request::kOnline:
      target = kModeOnline;
      break;
    case mode_request::kLowPower:
      target = kModeLowPower;
      break;
    case mode_request::kReset:
      // The answer must leave before the port does.
      After(opt.reset_vanish_delay_ms, [this] {
        ++resets;
        Vanish();
        After(opt.reset_absence_ms, [this] {
          mode = kModeOnline;
          Appear();
        });
      });
      return;
    default:
      return;  // power off and the unnamed modes change nothing here
  }
  if (stuck) return;
  if (opt.mode_follow_delay_ms == 0) {
    mode = target;
  } else {
    After(opt.mode_follow_delay_ms, [this, target] { mode = target; });
  }
}

bool VirtualDevice::Impl::Offline() const { return mode >= 2 && mode <= 4; }

Bytes VirtualDevice::Impl::NvResponse(const Bytes& req) {
  const uint16_t id = Get16(req, 1);
  const size_t data_len = req.size() - 5;
  Bytes r = req;
  if (req[0] == kNvWrite) {
    ++nv_writes[id];
    if (opt.nv_write_needs_offline && !Offline()) return With(kBadMode, req);
    if (ignore_nv_writes > 0) {
      --ignore_nv_writes;
    } else {
      NvData& item = nv[id];  // a short write keeps the item's other bytes
      std::copy(req.begin() + 3, req.begin() + 3 + std::min<size_t>(data_len, 128), item.begin());
      inactive.erase(id);
      SaveNv();
    }
    Put16(&r, r.size() - 2, 0);
    return r;
  }
  auto it = nv.find(id);
  const bool is_inactive = inactive.count(id) || (it == nv.end() && opt.unknown_nv_inactive);
  NvData data{};
  if (it != nv.end() && !is_inactive) data = it->second;
  for (size_t i = 0; i < data_len; ++i) r[3 + i] = i < 128 ? data[i] : 0;
  Put16(&r, r.size() - 2, is_inactive ? kNvStatusInactive : 0);
  return r;
}

// ---- NV persistence: one line per item, "<id> <256 hex digits>" ----
void VirtualDevice::Impl::LoadNv() {
  if (opt.nv_state_file.empty()) return;
  std::ifstream in(opt.nv_state_file);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    unsigned id = 0;
    std::string hex;
    if (!(fields >> id >> hex) || id > 0xFFFF || hex.size() != 256) continue;
    NvData data{};
    for (size_t i = 0; i < 128; ++i) {
      data[i] = static_cast<uint8_t>(std::strtoul(hex.substr(2 * i, 2).c_str(), nullptr, 16));
    }
    nv[static_cast<uint16_t>(id)] = data;
  }
}

void VirtualDevice::Impl::SaveNv() {
  if (opt.nv_state_file.empty()) return;
  const std::string tmp = opt.nv_state_file + ".tmp";
  {
    std::ofstream out(tmp, std::ios::trunc);
    static const char* digits = "0123456789abcdef";
    for (const auto& [id, data] : nv) {
      out << id << ' ';
      for (uint8_t b : data) out << digits[b >> 4] << digits[b & 15];
      out << '\n';
    }
    if (!out) return;
  }
  std::error_code ec;
  fs::rename(tmp, opt.nv_state_file, ec);  // a reader never sees half a file
}

}  // namespace devicesim

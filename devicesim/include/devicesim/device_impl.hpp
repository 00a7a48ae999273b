// The virtual device's inside, shared by the files that each do one of its jobs:
//   device_presence.cpp  the device root's entries: serial port appearing and vanishing, CD-ROM
//   device_loop.cpp      the device thread: poll loop, timers, output queue, request intake
//   misbehaviour.cpp     how an answer is dropped, delayed, split, spoiled or doubled
//   diag_answers.cpp     version, build id, mode control, call manager state, NV items
//   efs2_answers.cpp     the EFS2 subsystem
//   virtual_device.cpp   the public interface, start and stop
// Internal to devicesim; users include virtual_device.hpp.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "devicesim/device_root_layout.hpp"
#include "devicesim/diag_codes.hpp"
#include "devicesim/efs.hpp"
#include "devicesim/hdlc.hpp"
#include "devicesim/virtual_device.hpp"

namespace devicesim {

using SteadyClock = std::chrono::steady_clock;

struct VirtualDevice::Impl {
  explicit Impl(Options o);

  // ---- Paths of the device root (device_presence.cpp) ----
  std::filesystem::path Root() const;
  std::filesystem::path ComLink() const;
  std::filesystem::path TtyLink() const;
  SerialPortShape PortShape() const;
  CdromShape OwnCdrom() const;
  std::filesystem::path CdromNode() const;

  // ---- Serial port presence (device_presence.cpp) ----
  bool Appear();
  void RemoveSerialEntries();
  void Vanish();

  // ---- CD-ROM (device_presence.cpp) ----
  bool ShowCdrom();
  void HideCdrom();
  void OnCdromBytes(const uint8_t* data, size_t n);

  // ---- Timed work of the device thread (device_loop.cpp) ----
  void After(uint32_t ms, std::function<void()> fn);
  void RunDueTimers();
  bool FlushOutput();
  void Queue(Bytes bytes, SteadyClock::time_point due);
  void Wake();
  void RunOnDevice(std::unique_lock<std::mutex>& lock, std::function<void()> fn);
  void Loop();

  // ---- Requests (device_loop.cpp) ----
  void OnSerialBytes(const uint8_t* data, size_t n);

  // ---- Misbehaviour (misbehaviour.cpp): queues the answer, spoilt as the counters say ----
  void Emit(const Bytes& request, Bytes response);

  // ---- DIAG answers (diag_answers.cpp) ----
  static Bytes With(uint8_t code, const Bytes& request);  // code, then the request
  bool LengthFits(const Bytes& req, size_t fixed) const;
  // The answer to a good request; false when it goes unanswered.
  bool Answer(const Bytes& req, Bytes* rsp);
  Bytes VersionResponse() const;
  Bytes ExtBuildIdResponse() const;
  void OnModeRequest(uint16_t requested);
  bool Offline() const;
  Bytes NvResponse(const Bytes& req);
  // NV persistence: one line per item, "<id> <256 hex digits>".
  void LoadNv();
  void SaveNv();

  // ---- EFS2 subsystem (efs2_answers.cpp) ----
  static bool Armed(int* after, int* n);
  static bool Efs2Command(const std::string& name, uint16_t* command);
  // The answer of a refused request: its errno field set, nothing done.
  static Bytes RefusedEfs2(const Bytes& req, uint16_t cmd, int32_t errnum);
  bool Efs2(const Bytes& req, Bytes* rsp);

  struct Timer {
    SteadyClock::time_point due;
    std::function<void()> fn;
  };
  struct Out {
    SteadyClock::time_point due;
    Bytes bytes;
    size_t done = 0;
  };

  Options opt;
  // Owned by the device; guards every field below. The device thread holds it except while
  // it waits in poll.
  mutable std::mutex mu;
  // Owned by the device: signals that the device thread finished a posted command.
  std::condition_variable done_cv;
  std::thread thread;
  bool running = false, stopping = false, started = false;
  // Owned by the device: any thread writes a byte to wake the device thread out of poll.
  int wake_rd = -1, wake_wr = -1;
  std::deque<std::function<void()>> commands;
  uint64_t commands_posted = 0, commands_done = 0;
  std::vector<Timer> timers;
  std::deque<Out> output;
  std::string error;

  int master = -1, slave = -1;
  std::string slave_path;
  bool present = false;
  Deframer deframer;

  bool cdrom = false;
  bool cdrom_laid_out = false;
  int fifo_rd = -1, fifo_wr = -1;
  Bytes cdb;
  std::vector<Bytes> cdbs;
  bool eject_received = false;

  std::map<uint16_t, NvData> nv;
  std::set<uint16_t> inactive;
  std::map<uint16_t, int> nv_writes;
  int ignore_nv_writes = 0;

  int mode = 5;
  bool stuck = false;
  int resets = 0;

  Efs efs;
  int refuse_write_n = 0, refuse_open_n = 0, short_write_n = 0;
  int refuse_write_after = 0, short_write_after = 0;  // writes served normally first
  int32_t refuse_write_errno = 0, refuse_open_errno = 0;
  uint32_t short_write_bytes = 0;
  bool ignore_efs_status = false;
  uint16_t refuse_cmd = 0;  // any sub-command, by RefuseEfs2
  int refuse_cmd_n = 0, refuse_cmd_after = 0;
  int32_t refuse_cmd_errno = 0;

  int drop = 0, corrupt = 0, error_n = 0, replace_n = 0, noise_n = 0, unsolicited_n = 0;
  int delay_n = 0, delay_after = 0, split_n = 0, split_pieces = 0, twice_n = 0;
  uint32_t delay_ms = 0, split_gap_ms = 0, twice_gap_ms = 0;
  uint8_t error_code = kBadCommand, replace_code = 0;
  Bytes noise, unsolicited_packet, patch;
  int stray_n = 0;
  bool stray_on_time = false;
  std::vector<Bytes> strays;  // frames that leave before the next chosen answer
  bool unsolicited_separate = false;
  uint32_t unsolicited_gap_ms = 0;
  int patch_n = 0, truncate_n = 0;
  size_t patch_offset = 0, truncate_length = 0;
  Bytes only_for;
  bool long_version = false;
  int disappear_after = 0;
  uint32_t disappear_absence_ms = 0;

  std::vector<Bytes> requests, good_requests;
  int bad_frames = 0;
  Bytes received, sent;
};

}  // namespace devicesim

#include "devicesim/virtual_device.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <system_error>
#include <thread>

#include "devicesim/efs.hpp"
#include "devicesim/hdlc.hpp"

namespace devicesim {

namespace fs = std::filesystem;
using SteadyClock = std::chrono::steady_clock;

namespace {

constexpr uint8_t kVersion = 0x00, kNvRead = 0x26, kNvWrite = 0x27, kModeControl = 0x29,
                  kSubsystem = 0x4B, kLoopback = 0x7B, kExtBuildId = 0x7C;
constexpr uint8_t kBadCommand = 0x13, kBadLength = 0x15, kBadMode = 0x18;
constexpr uint8_t kCallManager = 0x0F, kEfs2 = 0x13;
constexpr uint16_t kNvStatusInactive = 5;
constexpr uint8_t kEjectCdb[6] = {0x1B, 0x00, 0x46, 0x00, 0x02, 0x00};

void Put16(Bytes* b, size_t at, uint16_t v) {
  if (b->size() < at + 2) b->resize(at + 2, 0);
  (*b)[at] = static_cast<uint8_t>(v);
  (*b)[at + 1] = static_cast<uint8_t>(v >> 8);
}

void Put32(Bytes* b, size_t at, uint32_t v) {
  if (b->size() < at + 4) b->resize(at + 4, 0);
  for (int i = 0; i < 4; ++i) (*b)[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

uint16_t Get16(const Bytes& b, size_t at) {
  return static_cast<uint16_t>(b[at] | (b[at + 1] << 8));
}

uint32_t Get32(const Bytes& b, size_t at) {
  return static_cast<uint32_t>(b[at]) | (static_cast<uint32_t>(b[at + 1]) << 8) |
         (static_cast<uint32_t>(b[at + 2]) << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

// The NUL-terminated text at `at`; false when the request ends before its terminator.
bool GetText(const Bytes& b, size_t at, std::string* text) {
  text->clear();
  for (size_t i = at; i < b.size(); ++i) {
    if (b[i] == 0) return true;
    text->push_back(static_cast<char>(b[i]));
  }
  return false;
}

// Fixed-width text field, blank-padded the way the identification fields are.
void PutFixed(Bytes* b, size_t at, const std::string& text, size_t width) {
  if (b->size() < at + width) b->resize(at + width, 0);
  for (size_t i = 0; i < width; ++i) (*b)[at + i] = i < text.size() ? text[i] : ' ';
}

CdromShape ForeignCdrom(int index, const std::string& vendor, const std::string& product,
                        bool with_node) {
  CdromShape shape;
  shape.index = index;
  shape.vendor = vendor;
  shape.product = product;
  shape.with_node = with_node;
  return shape;
}

}  // namespace

struct VirtualDevice::Impl {
  explicit Impl(Options o)
      : opt(std::move(o)), efs(opt.efs_capacity_bytes, opt.efs_block_size) {
    if (opt.tty_name.empty()) opt.tty_name = DefaultTtyName(opt.layout, opt.com_number);
    if (opt.usb_path.empty()) opt.usb_path = std::to_string(opt.com_number);
    mode = opt.initial_mode;
    LoadNv();
  }

  // ---- Paths of the device root ----
  fs::path Root() const { return fs::path(opt.root); }
  fs::path ComLink() const {
    return Root() / "dev/serial/com" / ("COM" + std::to_string(opt.com_number));
  }
  fs::path TtyLink() const { return Root() / "dev" / opt.tty_name; }
  SerialPortShape PortShape() const {
    SerialPortShape shape;
    shape.layout = opt.layout;
    shape.tty = opt.tty_name;
    shape.bus = opt.usb_bus;
    shape.usb_path = opt.usb_path;
    shape.interface_number = opt.interface_number;
    shape.vendor_id = opt.vendor_id;
    shape.product_id = opt.product_id;
    shape.has_interface_text = opt.write_interface_file;
    shape.interface_text = opt.interface_text;
    shape.product_text = opt.product_text;
    shape.udev_description = opt.udev_description;
    return shape;
  }
  // The device's own CD-ROM sits on its USB device, where its serial ports come after the eject.
  CdromShape OwnCdrom() const {
    CdromShape shape;
    shape.index = opt.cdrom_index;
    shape.vendor = opt.cdrom_vendor;
    shape.product = opt.cdrom_product;
    shape.on_usb = true;
    shape.bus = opt.usb_bus;
    shape.usb_path = opt.usb_path;
    shape.vendor_id = opt.vendor_id;
    shape.product_id = opt.product_id;
    shape.product_text = opt.product_text;
    return shape;
  }
  fs::path CdromNode() const { return Root() / "dev" / ("sr" + std::to_string(opt.cdrom_index)); }

  // ---- Serial port presence (device thread, or the caller before the thread runs) ----
  bool Appear() {
    if (present) return true;
    int m = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (m < 0 || ::grantpt(m) != 0 || ::unlockpt(m) != 0) {
      error = std::string("pseudo-terminal: ") + std::strerror(errno);
      if (m >= 0) ::close(m);
      return false;
    }
    const char* name = ::ptsname(m);
    std::string slave_name = name ? name : "";
    // Holding the slave open keeps the master from seeing EIO between the tool's close and
    // reopen, and setting it raw now keeps anything from being echoed before the tool
    // configures its side.
    int s = ::open(slave_name.c_str(), O_RDWR | O_NOCTTY);
    termios tio{};
    if (s < 0 || ::tcgetattr(s, &tio) != 0) {
      error = "pseudo-terminal slave " + slave_name + ": " + std::strerror(errno);
      ::close(m);
      if (s >= 0) ::close(s);
      return false;
    }
    ::cfmakeraw(&tio);
    ::cfsetispeed(&tio, B115200);
    ::cfsetospeed(&tio, B115200);
    ::tcsetattr(s, TCSANOW, &tio);
    ::fcntl(m, F_SETFL, ::fcntl(m, F_GETFL) | O_NONBLOCK);

    std::error_code ec;
    fs::create_directories(ComLink().parent_path(), ec);
    std::string why;
    bool ok = !ec && LayOutSerialPort(opt.root, PortShape(), &why);
    // The COM link comes last: whoever sees it finds everything behind it in place.
    fs::remove(TtyLink(), ec);
    ok = ok && ::symlink(slave_name.c_str(), TtyLink().c_str()) == 0;
    fs::remove(ComLink(), ec);
    ok = ok && ::symlink(("../../" + opt.tty_name).c_str(), ComLink().c_str()) == 0;
    if (!ok) {
      error = why.empty() ? "cannot lay out the serial port in " + opt.root : why;
      ::close(m);
      ::close(s);
      RemoveSerialEntries();
      return false;
    }
    master = m;
    slave = s;
    slave_path = slave_name;
    present = true;
    deframer.Reset();
    if (opt.presence_observer) opt.presence_observer(true);
    return true;
  }

  void RemoveSerialEntries() {
    std::error_code ec;
    fs::remove(ComLink(), ec);
    fs::remove(TtyLink(), ec);
    RemoveSerialPort(opt.root, PortShape());
  }

  void Vanish() {
    const bool was_present = present;
    RemoveSerialEntries();
    if (master >= 0) ::close(master);
    if (slave >= 0) ::close(slave);
    master = slave = -1;
    slave_path.clear();
    present = false;
    output.clear();
    deframer.Reset();
    if (was_present && opt.presence_observer) opt.presence_observer(false);
  }

  // ---- CD-ROM ----
  bool ShowCdrom() {
    if (!LayOutCdrom(opt.root, OwnCdrom(), &error)) return false;
    cdrom_laid_out = true;
    // Our own writer end keeps the reader from seeing end-of-file after each adapter's close.
    fifo_rd = ::open(CdromNode().c_str(), O_RDONLY | O_NONBLOCK);
    fifo_wr = fifo_rd >= 0 ? ::open(CdromNode().c_str(), O_WRONLY | O_NONBLOCK) : -1;
    if (fifo_rd < 0 || fifo_wr < 0) {
      error = "cannot open " + CdromNode().string() + ": " + std::strerror(errno);
      HideCdrom();
      return false;
    }
    cdrom = true;
    return true;
  }

  void HideCdrom() {
    // Only what this device made: an sr<k> of the same number may be another device's.
    if (cdrom_laid_out) RemoveCdrom(opt.root, OwnCdrom());
    cdrom_laid_out = false;
    if (fifo_rd >= 0) ::close(fifo_rd);
    if (fifo_wr >= 0) ::close(fifo_wr);
    fifo_rd = fifo_wr = -1;
    cdb.clear();
    cdrom = false;
  }

  void OnCdromBytes(const uint8_t* data, size_t n) {
    cdb.insert(cdb.end(), data, data + n);
    while (cdb.size() >= 6) {
      Bytes command(cdb.begin(), cdb.begin() + 6);
      cdb.erase(cdb.begin(), cdb.begin() + 6);
      cdbs.push_back(command);
      if (cdrom && std::equal(command.begin(), command.end(), kEjectCdb)) {
        eject_received = true;
        HideCdrom();
        After(opt.eject_to_serial_ms, [this] { Appear(); });
        return;
      }
    }
  }

  // ---- Timed work of the device thread ----
  void After(uint32_t ms, std::function<void()> fn) {
    timers.push_back({SteadyClock::now() + std::chrono::milliseconds(ms), std::move(fn)});
  }

  void RunDueTimers() {
    const auto now = SteadyClock::now();
    std::vector<std::function<void()>> due;
    for (auto it = timers.begin(); it != timers.end();) {
      if (it->due <= now) {
        due.push_back(std::move(it->fn));
        it = timers.erase(it);
      } else {
        ++it;
      }
    }
    for (auto& fn : due) fn();
  }

  // Writes what is due; false when the port is full and must be polled for room.
  bool FlushOutput() {
    const auto now = SteadyClock::now();
    while (!output.empty() && output.front().due <= now) {
      if (master < 0) {
        output.clear();
        break;
      }
      Out& head = output.front();
      ssize_t n = ::write(master, head.bytes.data() + head.done, head.bytes.size() - head.done);
      if (n < 0) {
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return false;
        output.clear();  // the port is gone; nothing can reach the tool
        break;
      }
      sent.insert(sent.end(), head.bytes.begin() + static_cast<std::ptrdiff_t>(head.done),
                  head.bytes.begin() + static_cast<std::ptrdiff_t>(head.done + n));
      head.done += static_cast<size_t>(n);
      if (head.done == head.bytes.size()) output.pop_front();
    }
    return true;
  }

  void Queue(Bytes bytes, SteadyClock::time_point due) {
    // Responses leave in order: a delayed one holds back those queued after it.
    if (!output.empty() && output.back().due > due) due = output.back().due;
    output.push_back({due, std::move(bytes), 0});
  }

  void Wake() {
    if (wake_wr >= 0) {
      const uint8_t b = 1;
      [[maybe_unused]] ssize_t n = ::write(wake_wr, &b, 1);
    }
  }

  // Runs fn on the device thread (or here when it is not running) and waits for it.
  void RunOnDevice(std::unique_lock<std::mutex>& lock, std::function<void()> fn) {
    if (!running) {
      fn();
      return;
    }
    const uint64_t id = ++commands_posted;
    commands.push_back(std::move(fn));
    Wake();
    done_cv.wait(lock, [&] { return commands_done >= id || !running; });
  }

  void Loop() {
    std::unique_lock<std::mutex> lock(mu);
    while (!stopping) {
      while (!commands.empty()) {
        auto fn = std::move(commands.front());
        commands.pop_front();
        fn();
        ++commands_done;
      }
      done_cv.notify_all();
      RunDueTimers();
      const bool room = FlushOutput();

      pollfd fds[3];
      int count = 0;
      fds[count++] = {wake_rd, POLLIN, 0};
      const int master_at = master >= 0 ? count : -1;
      if (master >= 0) fds[count++] = {master, static_cast<short>(POLLIN | (room ? 0 : POLLOUT)), 0};
      const int fifo_at = fifo_rd >= 0 ? count : -1;
      if (fifo_rd >= 0) fds[count++] = {fifo_rd, POLLIN, 0};

      int timeout = -1;
      auto next = SteadyClock::time_point::max();
      for (const auto& t : timers) next = std::min(next, t.due);
      if (room && !output.empty()) next = std::min(next, output.front().due);
      if (next != SteadyClock::time_point::max()) {
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(next - SteadyClock::now())
                      .count();
        timeout = static_cast<int>(std::max<long long>(0, std::min<long long>(ms + 1, 60000)));
      }

      lock.unlock();
      int ready = ::poll(fds, static_cast<nfds_t>(count), timeout);
      lock.lock();
      if (ready <= 0) continue;

      if (fds[0].revents & POLLIN) {
        uint8_t drain[64];
        while (::read(wake_rd, drain, sizeof drain) > 0) {
        }
      }
      // The fds polled are only ever changed on this thread, so they are still the ones above.
      if (master_at >= 0 && (fds[master_at].revents & POLLIN) && master >= 0) {
        uint8_t buf[4096];
        ssize_t n = ::read(master, buf, sizeof buf);
        if (n > 0) OnSerialBytes(buf, static_cast<size_t>(n));
      }
      if (fifo_at >= 0 && (fds[fifo_at].revents & POLLIN) && fifo_rd >= 0) {
        uint8_t buf[256];
        ssize_t n = ::read(fifo_rd, buf, sizeof buf);
        if (n > 0) OnCdromBytes(buf, static_cast<size_t>(n));
      }
    }
    done_cv.notify_all();
  }

  // ---- Requests ----
  void OnSerialBytes(const uint8_t* data, size_t n) {
    received.insert(received.end(), data, data + n);
    std::vector<Deframer::Frame> frames;
    deframer.Feed(data, n, &frames);
    for (auto& frame : frames) {
      requests.push_back(frame.packet);
      if (!frame.good) {
        ++bad_frames;
        continue;
      }
      good_requests.push_back(frame.packet);
      if (disappear_after > 0 && --disappear_after == 0) {
        Vanish();
        if (disappear_absence_ms > 0) After(disappear_absence_ms, [this] { Appear(); });
        return;
      }
      if (opt.request_observer) opt.request_observer(frame.packet);
      Bytes response;
      if (Answer(frame.packet, &response)) Emit(frame.packet, std::move(response));
      if (!present) return;  // the request made the device go away
    }
  }

  void Emit(const Bytes& request, Bytes response) {
    const bool chosen = request.size() >= only_for.size() &&
                        std::equal(only_for.begin(), only_for.end(), request.begin());
    if (!chosen) {
      Queue(FramePacket(response), SteadyClock::now());
      return;
    }
    if (drop > 0) {
      --drop;
      return;
    }
    if (error_n > 0) {
      --error_n;
      response.assign(1, error_code);
      response.insert(response.end(), request.begin(), request.end());
    }
    if (replace_n > 0 && !response.empty()) {
      --replace_n;
      response[0] = replace_code;
    }
    if (patch_n > 0) {
      --patch_n;
      if (response.size() < patch_offset + patch.size()) response.resize(patch_offset + patch.size(), 0);
      std::copy(patch.begin(), patch.end(), response.begin() + static_cast<std::ptrdiff_t>(patch_offset));
    }
    if (truncate_n > 0) {
      --truncate_n;
      if (response.size() > truncate_length) response.resize(truncate_length);
    }
    Bytes frame;
    if (unsolicited_n > 0) {
      --unsolicited_n;
      frame = FramePacket(unsolicited_packet);
    }
    if (noise_n > 0) {
      --noise_n;
      frame.insert(frame.end(), noise.begin(), noise.end());
    }
    Bytes body;
    if (corrupt > 0) {
      --corrupt;
      body = FramePacketBadCrc(response);
    } else {
      body = FramePacket(response);
    }
    frame.insert(frame.end(), body.begin(), body.end());

    auto due = SteadyClock::now();
    if (delay_n > 0) {
      --delay_n;
      due += std::chrono::milliseconds(delay_ms);
    }
    if (twice_n > 0) {
      // The copy is queued first in time order below, so it follows the original.
      --twice_n;
      Queue(frame, due);
      Queue(frame, due + std::chrono::milliseconds(twice_gap_ms));
      return;
    }
    if (split_n > 0 && split_pieces > 1 && frame.size() > 1) {
      --split_n;
      const size_t pieces = std::min<size_t>(static_cast<size_t>(split_pieces), frame.size());
      const size_t step = frame.size() / pieces;
      for (size_t i = 0; i < pieces; ++i) {
        const size_t from = i * step, to = i + 1 == pieces ? frame.size() : from + step;
        Queue(Bytes(frame.begin() + static_cast<std::ptrdiff_t>(from),
                    frame.begin() + static_cast<std::ptrdiff_t>(to)),
              due + std::chrono::milliseconds(split_gap_ms) * static_cast<int>(i));
      }
    } else {
      Queue(std::move(frame), due);
    }
  }

  // Counts one event against a fault that waits for `*after` events before it strikes `*n` times.
  static bool Armed(int* after, int* n) {
    if (*n <= 0) return false;
    if (*after > 0) {
      --*after;
      return false;
    }
    --*n;
    return true;
  }

  static Bytes With(uint8_t code, const Bytes& request) {
    // Sized first: growing a one-byte vector by insert draws a false array-bounds warning from
    // g++ 12 at -O2.
    Bytes out(request.size() + 1);
    out[0] = code;
    std::copy(request.begin(), request.end(), out.begin() + 1);
    return out;
  }

  // Requests of a fixed size must have exactly that size when lengths are checked strictly,
  // and at least that size otherwise.
  bool LengthFits(const Bytes& req, size_t fixed) const {
    return opt.strict_lengths ? req.size() == fixed : req.size() >= fixed;
  }

  bool Answer(const Bytes& req, Bytes* rsp) {
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

  Bytes VersionResponse() const {
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
    if (long_version) r.insert(r.end(), {0xDE, 0xAD, 0xBE, 0xEF, 0x00});
    return r;
  }

  Bytes ExtBuildIdResponse() const {
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

  void OnModeRequest(uint16_t requested) {
    int target = 0;
    switch (requested) {
      case 0:
      case 1: target = opt.offline_mode; break;
      case 3: target = 1; break;
      case 4: target = 5; break;
      case 5: target = 6; break;
      case 2:
        // The answer must leave before the port does.
        After(opt.reset_vanish_delay_ms, [this] {
          ++resets;
          Vanish();
          After(opt.reset_absence_ms, [this] {
            mode = 5;
            Appear();
          });
        });
        return;
      default: return;  // power off and the unnamed modes change nothing here
    }
    if (stuck) return;
    if (opt.mode_follow_delay_ms == 0) {
      mode = target;
    } else {
      After(opt.mode_follow_delay_ms, [this, target] { mode = target; });
    }
  }

  bool Offline() const { return mode >= 2 && mode <= 4; }

  Bytes NvResponse(const Bytes& req) {
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
    const bool is_inactive =
        inactive.count(id) || (it == nv.end() && opt.unknown_nv_inactive);
    NvData data{};
    if (it != nv.end() && !is_inactive) data = it->second;
    for (size_t i = 0; i < data_len; ++i) r[3 + i] = i < 128 ? data[i] : 0;
    Put16(&r, r.size() - 2, is_inactive ? kNvStatusInactive : 0);
    return r;
  }

  bool Efs2(const Bytes& req, Bytes* rsp) {
    using namespace efs_errno;
    const uint16_t cmd = Get16(req, 2);
    Bytes r(req.begin(), req.begin() + 4);
    std::string path;
    auto too_short = [&](size_t n) {
      if (req.size() >= n) return false;
      *rsp = With(kBadLength, req);
      return true;
    };
    auto wrong_length = [&](size_t n) {
      if (LengthFits(req, n)) return false;
      *rsp = With(kBadLength, req);
      return true;
    };
    switch (cmd) {
      case 19: {  // file system status
        if (ignore_efs_status) return false;
        r.resize(48, 0);
        Put32(&r, 4, 0);
        Put32(&r, 8, 1);  // file system id
        PutFixed(&r, 12, "EFS2", 8);
        Put32(&r, 20, efs.block_size());
        Put32(&r, 24, static_cast<uint32_t>(efs.TotalBlocks()));
        Put32(&r, 28, static_cast<uint32_t>(efs.FreeBlocks()));
        Put32(&r, 32, static_cast<uint32_t>(efs.FreeBlocks()));
        Put32(&r, 36, 0x7FFFFFFF);  // longest file
        Put32(&r, 40, 0);
        Put32(&r, 44, 1024);        // most files
        break;
      }
      case 2: {  // open
        if (too_short(12)) return true;
        int32_t fd = -1;
        int32_t err = kInval;
        if (GetText(req, 12, &path)) {
          if (refuse_open_n > 0) {
            --refuse_open_n;
            err = refuse_open_errno;
          } else {
            err = efs.Open(path, Get32(req, 4), Get32(req, 8), &fd);
          }
        }
        Put32(&r, 4, static_cast<uint32_t>(fd));
        Put32(&r, 8, static_cast<uint32_t>(err));
        break;
      }
      case 5: {  // write
        if (too_short(12)) return true;
        const int32_t fd = static_cast<int32_t>(Get32(req, 4));
        const uint32_t offset = Get32(req, 8);
        uint32_t size = static_cast<uint32_t>(req.size() - 12);
        uint32_t written = 0;
        int32_t err = kOk;
        if (Armed(&refuse_write_after, &refuse_write_n)) {
          err = refuse_write_errno;
        } else {
          if (Armed(&short_write_after, &short_write_n)) size = std::min(size, short_write_bytes);
          err = efs.Write(fd, offset, req.data() + 12, size, &written);
        }
        Put32(&r, 4, static_cast<uint32_t>(fd));
        Put32(&r, 8, offset);
        Put32(&r, 12, err == kOk ? written : 0xFFFFFFFFu);
        Put32(&r, 16, static_cast<uint32_t>(err));
        break;
      }
      case 3:  // close
        if (wrong_length(8)) return true;
        Put32(&r, 4, static_cast<uint32_t>(efs.Close(static_cast<int32_t>(Get32(req, 4)))));
        break;
      case 9:  // mkdir
        if (too_short(6)) return true;
        Put32(&r, 4, static_cast<uint32_t>(GetText(req, 6, &path) ? efs.Mkdir(path, Get16(req, 4))
                                                                   : kInval));
        break;
      case 10:  // rmdir
        Put32(&r, 4, static_cast<uint32_t>(GetText(req, 4, &path) ? efs.Rmdir(path) : kInval));
        break;
      case 8:  // unlink
        Put32(&r, 4, static_cast<uint32_t>(GetText(req, 4, &path) ? efs.Unlink(path) : kInval));
        break;
      case 11: {  // opendir
        uint32_t handle = 0;
        const int32_t err = GetText(req, 4, &path) ? efs.OpenDir(path, &handle) : kInval;
        Put32(&r, 4, handle);
        Put32(&r, 8, static_cast<uint32_t>(err));
        break;
      }
      case 12: {  // readdir
        if (wrong_length(12)) return true;
        const uint32_t handle = Get32(req, 4), seq = Get32(req, 8);
        DirEntry e;
        bool end = false;
        const int32_t err = efs.ReadDir(handle, seq, &e, &end);
        Put32(&r, 4, handle);
        Put32(&r, 8, seq);
        Put32(&r, 12, static_cast<uint32_t>(err));
        Put32(&r, 16, static_cast<uint32_t>(e.type));
        Put32(&r, 20, e.mode);
        Put32(&r, 24, e.size);
        Put32(&r, 28, e.atime);
        Put32(&r, 32, e.mtime);
        Put32(&r, 36, e.ctime);
        r.insert(r.end(), e.name.begin(), e.name.end());
        r.push_back(0);
        break;
      }
      case 13:  // closedir
        if (wrong_length(8)) return true;
        Put32(&r, 4, static_cast<uint32_t>(efs.CloseDir(Get32(req, 4))));
        break;
      default:
        *rsp = With(kBadCommand, req);
        return true;
    }
    *rsp = std::move(r);
    return true;
  }

  // ---- NV persistence: one line per item, "<id> <256 hex digits>" ----
  void LoadNv() {
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

  void SaveNv() {
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

  int drop = 0, corrupt = 0, error_n = 0, replace_n = 0, noise_n = 0, unsolicited_n = 0;
  int delay_n = 0, split_n = 0, split_pieces = 0, twice_n = 0;
  uint32_t delay_ms = 0, split_gap_ms = 0, twice_gap_ms = 0;
  uint8_t error_code = kBadCommand, replace_code = 0;
  Bytes noise, unsolicited_packet, patch;
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

VirtualDevice::VirtualDevice(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {}

VirtualDevice::~VirtualDevice() { Stop(); }

bool VirtualDevice::Start() {
  std::unique_lock<std::mutex> lock(impl_->mu);
  Impl& d = *impl_;
  if (d.started) return true;
  if (d.opt.root.empty()) {
    d.error = "no device root given";
    return false;
  }
  std::error_code ec;
  fs::create_directories(d.opt.root, ec);
  if (ec) {
    d.error = "cannot make " + d.opt.root + ": " + ec.message();
    return false;
  }
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_NONBLOCK | O_CLOEXEC) != 0) {
    d.error = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  d.wake_rd = pipe_fds[0];
  d.wake_wr = pipe_fds[1];
  const bool shown = d.opt.start_as_cdrom ? d.ShowCdrom() : d.Appear();
  if (!shown) {
    ::close(d.wake_rd);
    ::close(d.wake_wr);
    d.wake_rd = d.wake_wr = -1;
    return false;
  }
  d.started = d.running = true;
  d.stopping = false;
  try {
    d.thread = std::thread([&d] { d.Loop(); });
  } catch (const std::system_error& e) {
    d.started = d.running = false;
    d.error = std::string("cannot start the device thread: ") + e.what();
    d.Vanish();
    d.HideCdrom();
    ::close(d.wake_rd);
    ::close(d.wake_wr);
    d.wake_rd = d.wake_wr = -1;
    return false;
  }
  return true;
}

void VirtualDevice::Stop() {
  Impl& d = *impl_;
  {
    std::lock_guard<std::mutex> lock(d.mu);
    if (!d.started) return;
    d.stopping = true;
    d.Wake();
  }
  d.thread.join();
  std::lock_guard<std::mutex> lock(d.mu);
  d.running = d.started = false;
  d.done_cv.notify_all();
  d.Vanish();
  d.HideCdrom();
  d.timers.clear();
  d.commands.clear();
  ::close(d.wake_rd);
  ::close(d.wake_wr);
  d.wake_rd = d.wake_wr = -1;
}

std::string VirtualDevice::Error() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->error;
}

const Options& VirtualDevice::options() const { return impl_->opt; }

std::string VirtualDevice::TtyName() const { return impl_->opt.tty_name; }

std::string VirtualDevice::ComLinkPath() const { return impl_->ComLink().string(); }

std::string VirtualDevice::SlavePath() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->slave_path;
}

bool VirtualDevice::Present() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->present;
}

bool VirtualDevice::CdromPresent() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->cdrom;
}

bool VirtualDevice::EjectReceived() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->eject_received;
}

std::vector<std::vector<uint8_t>> VirtualDevice::CdromCommands() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->cdbs;
}

bool VirtualDevice::SetComLinkTime(int64_t seconds) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  timespec times[2];
  times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(seconds);
  times[0].tv_nsec = times[1].tv_nsec = 0;
  return ::utimensat(AT_FDCWD, impl_->ComLink().c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

bool VirtualDevice::AddUnopenableCdrom(const std::string& root, int index,
                                       const std::string& vendor, const std::string& product) {
  std::string error;
  if (!LayOutCdrom(root, ForeignCdrom(index, vendor, product, false), &error)) return false;
  std::error_code ec;
  fs::remove(fs::path(root) / "dev" / ("sr" + std::to_string(index)), ec);
  return true;
}

bool VirtualDevice::AddForeignCdrom(const std::string& root, int index, const std::string& vendor,
                                    const std::string& product) {
  std::string error;
  return LayOutCdrom(root, ForeignCdrom(index, vendor, product, true), &error);
}

void VirtualDevice::SetNvItem(uint16_t id, const NvData& data) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->nv[id] = data;
  impl_->inactive.erase(id);
  impl_->SaveNv();
}

NvData VirtualDevice::NvItem(uint16_t id) const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  auto it = impl_->nv.find(id);
  return it == impl_->nv.end() ? NvData{} : it->second;
}

bool VirtualDevice::HasNvItem(uint16_t id) const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->nv.count(id) != 0;
}

std::map<uint16_t, NvData> VirtualDevice::NvItems() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->nv;
}

void VirtualDevice::SetNvItemInactive(uint16_t id, bool inactive) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  if (inactive) {
    impl_->inactive.insert(id);
  } else {
    impl_->inactive.erase(id);
  }
}

int VirtualDevice::NvWriteCount(uint16_t id) const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  auto it = impl_->nv_writes.find(id);
  return it == impl_->nv_writes.end() ? 0 : it->second;
}

void VirtualDevice::IgnoreNvWrites(int n) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->ignore_nv_writes = n;
}

int VirtualDevice::OperatingMode() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->mode;
}

void VirtualDevice::SetOperatingMode(int mode) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->mode = mode;
}

void VirtualDevice::NeverReachMode(bool stuck) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->stuck = stuck;
}

int VirtualDevice::ResetCount() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->resets;
}

bool VirtualDevice::LoadEfs(const std::string& host_dir) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->efs.LoadFrom(host_dir, &impl_->error);
}

bool VirtualDevice::DumpEfs(const std::string& host_dir) const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  std::string error;
  if (impl_->efs.DumpTo(host_dir, &error)) return true;
  impl_->error = error;
  return false;
}

bool VirtualDevice::EfsExists(const std::string& path) const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->efs.Exists(path);
}

bool VirtualDevice::EfsIsDir(const std::string& path) const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->efs.IsDir(path);
}

bool VirtualDevice::EfsReadFile(const std::string& path, std::vector<uint8_t>* data) const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->efs.ReadFile(path, data);
}

bool VirtualDevice::EfsWriteFile(const std::string& path, const std::vector<uint8_t>& data) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->efs.WriteFile(path, data);
}

bool VirtualDevice::EfsMkdir(const std::string& path) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->efs.MakeDirs(path);
}

bool VirtualDevice::EfsMakeLink(const std::string& path, const std::string& target) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->efs.MakeLink(path, target);
}

std::vector<std::string> VirtualDevice::EfsListing() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->efs.Listing();
}

uint64_t VirtualDevice::EfsUsedBytes() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->efs.UsedBytes();
}

int VirtualDevice::EfsOpenFiles() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->efs.OpenFiles();
}

int VirtualDevice::EfsOpenDirs() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->efs.OpenDirs();
}

void VirtualDevice::RefuseEfsWrites(int n, int32_t errnum, int after) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->refuse_write_n = n;
  impl_->refuse_write_errno = errnum;
  impl_->refuse_write_after = after;
}

void VirtualDevice::RefuseEfsOpens(int n, int32_t errnum) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->refuse_open_n = n;
  impl_->refuse_open_errno = errnum;
}

void VirtualDevice::ShortEfsWrites(int n, uint32_t bytes, int after) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->short_write_n = n;
  impl_->short_write_bytes = bytes;
  impl_->short_write_after = after;
}

void VirtualDevice::IgnoreEfsStatus(bool ignore) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->ignore_efs_status = ignore;
}

void VirtualDevice::FillUp(bool full) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->efs.SetFull(full);
}

void VirtualDevice::DropResponses(int n) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->drop = n;
}

void VirtualDevice::DelayResponses(int n, uint32_t ms) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->delay_n = n;
  impl_->delay_ms = ms;
}

void VirtualDevice::AnswerTwice(int n, uint32_t gap_ms) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->twice_n = n;
  impl_->twice_gap_ms = gap_ms;
}

void VirtualDevice::SplitResponses(int n, int pieces, uint32_t gap_ms) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->split_n = n;
  impl_->split_pieces = pieces;
  impl_->split_gap_ms = gap_ms;
}

void VirtualDevice::CorruptCrc(int n) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->corrupt = n;
}

void VirtualDevice::NoiseBeforeResponses(int n, std::vector<uint8_t> bytes) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->noise_n = n;
  impl_->noise = std::move(bytes);
}

void VirtualDevice::ReplaceCommandCode(int n, uint8_t code) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->replace_n = n;
  impl_->replace_code = code;
}

void VirtualDevice::PatchResponses(int n, size_t offset, std::vector<uint8_t> bytes) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->patch_n = n;
  impl_->patch_offset = offset;
  impl_->patch = std::move(bytes);
}

void VirtualDevice::TruncateResponses(int n, size_t length) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->truncate_n = n;
  impl_->truncate_length = length;
}

void VirtualDevice::MisbehaveOnlyFor(std::vector<uint8_t> request_prefix) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->only_for = std::move(request_prefix);
}

void VirtualDevice::ErrorResponses(int n, uint8_t code) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->error_n = n;
  impl_->error_code = code;
}

void VirtualDevice::LongVersionReply(bool longer) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->long_version = longer;
}

void VirtualDevice::DisappearAfterRequests(int n, uint32_t absence_ms) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->disappear_after = n;
  impl_->disappear_absence_ms = absence_ms;
}

void VirtualDevice::Disappear() {
  std::unique_lock<std::mutex> lock(impl_->mu);
  impl_->RunOnDevice(lock, [this] { impl_->Vanish(); });
}

void VirtualDevice::Reappear() {
  std::unique_lock<std::mutex> lock(impl_->mu);
  impl_->RunOnDevice(lock, [this] {
    impl_->HideCdrom();
    impl_->Appear();
  });
}

void VirtualDevice::SendUnsolicited(std::vector<uint8_t> packet, bool good_crc) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->Queue(good_crc ? FramePacket(packet) : FramePacketBadCrc(packet), SteadyClock::now());
  impl_->Wake();
}

void VirtualDevice::UnsolicitedBeforeResponses(int n, std::vector<uint8_t> packet) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->unsolicited_n = n;
  impl_->unsolicited_packet = std::move(packet);
}

void VirtualDevice::SendRaw(std::vector<uint8_t> bytes) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->Queue(std::move(bytes), SteadyClock::now());
  impl_->Wake();
}

std::vector<std::vector<uint8_t>> VirtualDevice::Requests() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->requests;
}

std::vector<std::vector<uint8_t>> VirtualDevice::GoodRequests() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->good_requests;
}

int VirtualDevice::BadFrames() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->bad_frames;
}

void VirtualDevice::ClearRequests() {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->requests.clear();
  impl_->good_requests.clear();
  impl_->bad_frames = 0;
  impl_->received.clear();
  impl_->sent.clear();
}

std::vector<uint8_t> VirtualDevice::RawReceived() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->received;
}

std::vector<uint8_t> VirtualDevice::RawSent() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->sent;
}

}  // namespace devicesim

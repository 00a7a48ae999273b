// The virtual device's public interface: start and stop, and the calls tests and diagsim make
// from their own threads, each under the device's lock. The jobs behind them live in the files
// device_impl.hpp lists.
#include "devicesim/virtual_device.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "devicesim/device_impl.hpp"

namespace devicesim {

namespace fs = std::filesystem;

namespace {

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

VirtualDevice::Impl::Impl(Options o)
    : opt(std::move(o)), efs(opt.efs_capacity_bytes, opt.efs_block_size) {
  efs.SetGrowingDescriptors(opt.growing_descriptors);
  if (opt.tty_name.empty()) opt.tty_name = DefaultTtyName(opt.layout, opt.com_number);
  if (opt.usb_path.empty()) opt.usb_path = std::to_string(opt.com_number);
  mode = opt.initial_mode;
  LoadNv();
}

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

bool VirtualDevice::RefuseRmdirOf(const std::string& path) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->efs.RefuseRemoval(path);
}

void VirtualDevice::FillUp(bool full) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->efs.SetFull(full);
}

void VirtualDevice::DropResponses(int n) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->drop = n;
}

void VirtualDevice::DelayResponses(int n, uint32_t ms, int after) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->delay_n = n;
  impl_->delay_ms = ms;
  impl_->delay_after = after;
}

void VirtualDevice::AnswerTwice(int n, uint32_t gap_ms) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->twice_n = n;
  impl_->twice_gap_ms = gap_ms;
}

void VirtualDevice::AnswerStrayBeforeNext(int n, bool on_time) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->stray_n = n;
  impl_->stray_on_time = on_time;
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

void VirtualDevice::UnsolicitedBeforeResponses(int n, std::vector<uint8_t> packet,
                                               bool separate_write, uint32_t gap_ms) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->unsolicited_n = n;
  impl_->unsolicited_packet = std::move(packet);
  impl_->unsolicited_separate = separate_write;
  impl_->unsolicited_gap_ms = gap_ms;
}

bool VirtualDevice::Efs2Prefix(const std::string& sub_command, std::vector<uint8_t>* prefix) {
  uint16_t command = 0;
  if (!Impl::Efs2Command(sub_command, &command)) return false;
  *prefix = {kSubsystem, kEfs2, static_cast<uint8_t>(command & 0xFF),
             static_cast<uint8_t>(command >> 8)};
  return true;
}

bool VirtualDevice::RefuseEfs2(const std::string& sub_command, int n, int32_t errnum, int after) {
  uint16_t command = 0;
  if (!Impl::Efs2Command(sub_command, &command)) return false;
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->refuse_cmd = command;
  impl_->refuse_cmd_n = n;
  impl_->refuse_cmd_after = after;
  impl_->refuse_cmd_errno = errnum;
  return true;
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

// The device's own thread: it polls the pseudo-terminal, the CD-ROM node and a wake-up pipe,
// runs timers and commands posted from other threads, writes queued output when it is due, and
// takes complete request frames in.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <utility>

#include "devicesim/device_impl.hpp"

namespace devicesim {

// ---- Timed work of the device thread ----
void VirtualDevice::Impl::After(uint32_t ms, std::function<void()> fn) {
  timers.push_back({SteadyClock::now() + std::chrono::milliseconds(ms), std::move(fn)});
}

void VirtualDevice::Impl::RunDueTimers() {
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
bool VirtualDevice::Impl::FlushOutput() {
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

void VirtualDevice::Impl::Queue(Bytes bytes, SteadyClock::time_point due) {
  // Responses leave in order: a delayed one holds back those queued after it.
  if (!output.empty() && output.back().due > due) due = output.back().due;
  output.push_back({due, std::move(bytes), 0});
}

void VirtualDevice::Impl::Wake() {
  if (wake_wr >= 0) {
    const uint8_t b = 1;
    [[maybe_unused]] ssize_t n = ::write(wake_wr, &b, 1);
  }
}

// Runs fn on the device thread (or here when it is not running) and waits for it.
void VirtualDevice::Impl::RunOnDevice(std::unique_lock<std::mutex>& lock,
                                      std::function<void()> fn) {
  if (!running) {
    fn();
    return;
  }
  const uint64_t id = ++commands_posted;
  commands.push_back(std::move(fn));
  Wake();
  done_cv.wait(lock, [&] { return commands_done >= id || !running; });
}

void VirtualDevice::Impl::Loop() {
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
      auto ms =
          std::chrono::duration_cast<std::chrono::milliseconds>(next - SteadyClock::now()).count();
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
void VirtualDevice::Impl::OnSerialBytes(const uint8_t* data, size_t n) {
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

}  // namespace devicesim

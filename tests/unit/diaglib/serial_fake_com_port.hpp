// A COM port that records every call and serves scripted input, for the serial port's own
// opening sequence, settings and read/write loops.
#pragma once

#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "platform/com_port.hpp"
#include "test_clock.hpp"

namespace transport_test {

struct FakeComState {
  std::vector<std::string> calls;
  int opened_number = -1;
  platform::IoMode opened_mode = platform::IoMode::kBlocking;
  uint32_t open_error = 0;
  bool setup_ok = true;
  bool set_state_ok = true;
  uint32_t setup_in = 0, setup_out = 0;
  uint16_t packet_length_seen = 0;
  platform::CommTimeouts timeouts_set;
  platform::LineSettings state_from_driver;  // what GetState reports
  platform::LineSettings state_set;
  std::vector<uint32_t> purges;
  std::vector<uint8_t> written;
  std::vector<uint32_t> write_sizes;
  uint32_t max_write = 0xFFFFFFFFu;   // bytes one Write accepts
  uint32_t out_queue = 0;             // reported cbOutQue
  uint32_t advance_per_write_ms = 0;  // test time one Write takes
  bool write_fails = false;
  std::deque<uint8_t> input;
  uint32_t last_error = 0;
  bool open = false;
};

class FakeComPort final : public platform::ComPort {
 public:
  FakeComPort(FakeComState* state, testsupport::TestClock* clock) : s_(state), clock_(clock) {}

  uint32_t Open(int number, platform::IoMode mode) override {
    Record("Open");
    s_->opened_number = number;
    s_->opened_mode = mode;
    s_->open = s_->open_error == 0;
    return s_->open_error;
  }
  void Close() override {
    Record("Close");
    s_->open = false;
  }
  bool IsOpen() const override { return s_->open; }
  bool Setup(uint32_t in, uint32_t out) override {
    Record("Setup");
    s_->setup_in = in;
    s_->setup_out = out;
    return s_->setup_ok;
  }
  bool GetProperties(platform::CommProperties* p) override {
    Record("GetProperties");
    s_->packet_length_seen = p->wPacketLength;
    return true;
  }
  bool GetTimeouts(platform::CommTimeouts* t) override {
    Record("GetTimeouts");
    *t = platform::CommTimeouts{7, 7, 7, 7, 7};
    return true;
  }
  bool SetTimeouts(const platform::CommTimeouts& t) override {
    Record("SetTimeouts");
    s_->timeouts_set = t;
    return true;
  }
  bool GetState(platform::LineSettings* settings) override {
    Record("GetState");
    *settings = s_->state_from_driver;
    return true;
  }
  bool SetState(const platform::LineSettings& settings) override {
    Record("SetState");
    if (!s_->set_state_ok) {
      s_->last_error = 87;
      return false;
    }
    s_->state_set = settings;
    s_->state_from_driver = settings;
    return true;
  }
  bool Escape(platform::CommFunction f) override {
    static const char* kNames[] = {"SetRts", "ClrRts", "SetDtr", "ClrDtr"};
    Record(kNames[static_cast<int>(f)]);
    return true;
  }
  bool Purge(uint32_t flags) override {
    Record("Purge");
    s_->purges.push_back(flags);
    return true;
  }
  bool Read(uint8_t* buffer, uint32_t count, uint32_t* got) override {
    std::lock_guard<std::mutex> lock(mutex_);
    // Like a driver handing over what one read finds: at most 10 bytes a call.
    uint32_t n = 0;
    while (n < count && n < 10 && !s_->input.empty()) {
      buffer[n++] = s_->input.front();
      s_->input.pop_front();
    }
    *got = n;
    return s_->open;
  }
  bool Write(const uint8_t* bytes, uint32_t count, uint32_t* written) override {
    s_->write_sizes.push_back(count);
    if (s_->write_fails) {
      *written = 0;
      return false;
    }
    const uint32_t n = count < s_->max_write ? count : s_->max_write;
    s_->written.insert(s_->written.end(), bytes, bytes + n);
    *written = n;
    if (s_->advance_per_write_ms != 0) clock_->Advance(s_->advance_per_write_ms);
    return true;
  }
  bool QueueStatus(uint32_t* in, uint32_t* out) override {
    std::lock_guard<std::mutex> lock(mutex_);
    *in = static_cast<uint32_t>(s_->input.size());
    *out = s_->out_queue;
    return true;
  }
  bool WaitReadable(uint32_t) override {
    std::lock_guard<std::mutex> lock(mutex_);
    return !s_->input.empty();
  }
  uint32_t LastError() const override { return s_->last_error; }

 private:
  void Record(const char* call) { s_->calls.push_back(call); }

  FakeComState* s_;
  testsupport::TestClock* clock_;
  std::mutex mutex_;  // owned by the fake; guards the scripted input
};

}  // namespace transport_test

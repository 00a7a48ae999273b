// A COM port that records the calls of the serial port's opening sequence and serves scripted
// input and write behaviour. Used from the test's thread only.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "platform/com_port.hpp"
#include "test_clock.hpp"

namespace transport_test {

struct FakeComState {
  std::vector<std::string> calls;
  int opened_number = -1;
  uint32_t open_error = 0;
  bool setup_ok = true, set_state_ok = true;
  platform::CommTimeouts timeouts_set;
  platform::LineSettings state;  // as the driver reports it; SetState replaces it
  std::vector<uint32_t> purges;
  std::vector<uint8_t> written;
  std::vector<uint32_t> write_sizes;
  uint32_t max_write = 0xFFFFFFFFu;   // bytes one Write accepts
  uint32_t out_queue = 0;             // reported output queue fill
  uint32_t advance_per_write_ms = 0;  // test time one Write takes
  std::deque<uint8_t> input;
};

class FakeComPort final : public platform::ComPort {
 public:
  FakeComPort(FakeComState* state, testsupport::TestClock* clock) : s_(state), clock_(clock) {}

  uint32_t Open(int number, platform::IoMode) override {
    s_->calls.push_back("Open");
    s_->opened_number = number;
    return s_->open_error;
  }
  void Close() override { s_->calls.push_back("Close"); }
  bool IsOpen() const override { return true; }
  bool Setup(uint32_t in, uint32_t out) override {
    s_->calls.push_back("Setup " + std::to_string(in) + " " + std::to_string(out));
    return s_->setup_ok;
  }
  bool GetProperties(platform::CommProperties* p) override {
    s_->calls.push_back("GetProperties " + std::to_string(p->wPacketLength));
    return true;
  }
  bool GetTimeouts(platform::CommTimeouts* t) override {
    s_->calls.push_back("GetTimeouts");
    *t = platform::CommTimeouts{7, 7, 7, 7, 7};
    return true;
  }
  bool SetTimeouts(const platform::CommTimeouts& t) override {
    s_->calls.push_back("SetTimeouts");
    s_->timeouts_set = t;
    return true;
  }
  bool GetState(platform::LineSettings* settings) override {
    s_->calls.push_back("GetState");
    *settings = s_->state;
    return true;
  }
  bool SetState(const platform::LineSettings& settings) override {
    s_->calls.push_back("SetState");
    if (s_->set_state_ok) s_->state = settings;
    return s_->set_state_ok;
  }
  bool Escape(platform::CommFunction f) override {
    static const char* kNames[] = {"SetRts", "ClrRts", "SetDtr", "ClrDtr"};
    s_->calls.push_back(kNames[static_cast<int>(f)]);
    return true;
  }
  bool Purge(uint32_t flags) override {
    s_->purges.push_back(flags);
    s_->calls.push_back("Purge");
    return true;
  }
  bool Read(uint8_t* buffer, uint32_t count, uint32_t* got) override {
    // Like a driver handing over what one read finds: at most 10 bytes a call.
    *got = 0;
    while (*got < count && *got < 10 && !s_->input.empty()) {
      buffer[(*got)++] = s_->input.front();
      s_->input.pop_front();
    }
    return true;
  }
  bool Write(const uint8_t* bytes, uint32_t count, uint32_t* written) override {
    s_->write_sizes.push_back(count);
    *written = count < s_->max_write ? count : s_->max_write;
    s_->written.insert(s_->written.end(), bytes, bytes + *written);
    clock_->Advance(s_->advance_per_write_ms);
    return true;
  }
  bool QueueStatus(uint32_t* in, uint32_t* out) override {
    *in = static_cast<uint32_t>(s_->input.size());
    *out = s_->out_queue;
    return true;
  }
  bool WaitReadable(uint32_t) override { return !s_->input.empty(); }
  bool WaitReadableOrWoken() override { return !s_->input.empty(); }
  void Wake() override {}
  uint32_t LastError() const override { return 87; }

 private:
  FakeComState* s_;
  testsupport::TestClock* clock_;
};

}  // namespace transport_test

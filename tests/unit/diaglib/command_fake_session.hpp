// A DIAG context without a transport: every request is recorded and answered by the test's
// responder, so the commands can be checked byte by byte and through the test clock.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "diaglib/commands/diag_session.hpp"
#include "diaglib/log/data_log_file_handler.hpp"
#include "test_clock.hpp"

namespace diaglib_test {

using Bytes = std::vector<uint8_t>;

class FakeSession final : public diaglib::DiagSession {
 public:
  // Returns false for an exchange that fails (no answer, wrong code).
  using Responder = std::function<bool(const Bytes& request, Bytes* response)>;

  FakeSession() : log_(clock_) {
    log_.SetMask(0xFFFFFFFFu);
    log_.SetTextLogCallBack(&FakeSession::CaptureLine, 0);
    Lines().clear();
    const int defaults[diaglib::kTimeOutCount] = {4000, 80,  200,   3000, 6000, 10000, 10000,
                                                   900,  900, 3000,  10000, 150, 140,  3000,
                                                   100,  100, 5000,  2000, 500, 10000};
    for (int i = 0; i < diaglib::kTimeOutCount; ++i) timeouts[i] = defaults[i];
  }

  Responder responder = [](const Bytes&, Bytes*) { return false; };
  std::vector<Bytes> requests;
  std::vector<int> request_timeouts;
  int timeouts[diaglib::kTimeOutCount];
  bool port_open = true;
  bool always_connected = false;
  int open_calls = 0;
  VODE_Efs2ProgressCallBack progress = nullptr;
  VODE_Efs2DirCallBack directory = nullptr;

  bool SendSync(uint16_t request_length, const uint8_t* request, uint16_t* response_length,
                uint8_t* response, uint8_t expected_code, int timeout_ms, int) override {
    const Bytes sent(request, request + request_length);
    requests.push_back(sent);
    request_timeouts.push_back(timeout_ms);
    Bytes answer;
    if (!responder(sent, &answer)) return false;
    const size_t copied = answer.size() < *response_length ? answer.size() : *response_length;
    std::copy(answer.begin(), answer.begin() + copied, response);
    *response_length = static_cast<uint16_t>(copied);
    return copied > 0 && response[0] == expected_code;
  }
  int TimeOutValue(int id) const override { return timeouts[id]; }
  int GetTimeOut(int id) override { return timeouts[id]; }
  bool IsPortOpen() override { return port_open; }
  bool OpenPort() override {
    ++open_calls;
    return port_open;
  }
  bool EnsurePortOpen() override { return port_open; }
  bool AlwaysConnected() override { return always_connected; }
  platform::Clock& Clock() override { return clock_; }
  DataLogFileHandler* LogHandler() override { return &log_; }
  diaglib::CommandPacket& Packet() override { return packet_; }
  VODE_Efs2ProgressCallBack ProgressCallBack() const override { return progress; }
  VODE_Efs2DirCallBack DirectoryCallBack() const override { return directory; }
  int ContextValue() const override { return 42; }

  testsupport::TestClock& test_clock() { return clock_; }

  static std::vector<std::string>& Lines() {
    static std::vector<std::string> lines;
    return lines;
  }
  static bool Logged(const std::string& text) {
    for (const std::string& line : Lines()) {
      if (line == text) return true;
    }
    return false;
  }

 private:
  static void CaptureLine(int, const void* record, int) {
    Lines().emplace_back(static_cast<const char*>(record) + kTextLogRecordTextOffset);
  }

  testsupport::TestClock clock_;
  DataLogFileHandler log_;
  diaglib::CommandPacket packet_;
};

}  // namespace diaglib_test

// A DIAG context without a transport: every request is recorded and answered by the test's
// responder, so the commands can be checked byte by byte and on a test clock.
#pragma once

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "diaglib/commands/diag_session.hpp"
#include "diaglib/commands/reply_ledger.hpp"
#include "diaglib/log/data_log_file_handler.hpp"
#include "test_clock.hpp"

using namespace diaglib;  // the library's own classes under test

namespace diaglib_test {

using Bytes = std::vector<uint8_t>;

class FakeSession final : public diaglib::DiagSession, public diaglib::DiagLink {
 public:
  FakeSession() : log_(clock_) {
    log_.SetMask(0xFFFFFFFFu);
    log_.SetTextLogCallBack(&FakeSession::Capture, 0);
    Lines().clear();
  }

  // False: the exchange fails (nothing came back in time).
  std::function<bool(const Bytes& request, Bytes* response)> responder;
  std::vector<Bytes> requests;
  std::vector<int> timeouts_used;
  int timeouts[diaglib::kTimeOutCount] = {4000, 80,  200,  3000,  6000, 10000, 10000,
                                          900,  900, 3000, 10000, 150,  140,   3000,
                                          100,  100, 5000, 2000,  500,  10000};
  VODE_Efs2DirCallBack directory = nullptr;
  std::vector<Bytes> markers;
  std::function<std::vector<Bytes>()> before_marker;
  bool echo_markers = true;

  diaglib::DiagLink& Link() override { return *this; }
  bool SendSync(const diaglib::DiagRequest& request, diaglib::DiagReply& reply) override {
    reply.length = 0;
    if (request.any_code) return AnswerMarker(request, reply);
    requests.emplace_back(request.bytes, request.bytes + request.length);
    timeouts_used.push_back(request.timeout_ms);
    Bytes answer;
    if (!responder || !responder(requests.back(), &answer)) return false;
    // A stale answer is dropped and nothing else comes: the real exchange runs into its time-out.
    if (request.answers && !answer.empty() && answer[0] == request.expected_code &&
        !request.answers(answer.data(), static_cast<uint16_t>(answer.size()))) {
      return false;
    }
    reply.length = static_cast<uint16_t>(std::min<size_t>(answer.size(), reply.capacity));
    std::copy(answer.begin(), answer.begin() + reply.length, reply.bytes);
    return reply.length > 0 && reply.bytes[0] == request.expected_code;
  }
  diaglib::ReplyLedger& Ledger() override { return ledger_; }
  int TimeOutValue(int id) const override { return timeouts[id]; }
  int GetTimeOut(int id) override { return timeouts[id]; }
  bool IsPortOpen() override { return true; }
  bool OpenPort() override { return true; }
  bool EnsurePortOpen() override { return true; }
  bool AlwaysConnected() override { return false; }
  platform::Clock& Clock() override { return clock_; }
  DataLogFileHandler* LogHandler() override { return &log_; }
  diaglib::CommandPacket& Packet() override { return packet_; }
  VODE_Efs2ProgressCallBack ProgressCallBack() const override { return nullptr; }
  VODE_Efs2DirCallBack DirectoryCallBack() const override { return directory; }
  int ContextValue() const override { return 42; }

  testsupport::TestClock& test_clock() { return clock_; }
  static std::vector<std::string>& Lines() {
    static std::vector<std::string> lines;
    return lines;
  }
  static bool Logged(const std::string& text) {
    return std::find(Lines().begin(), Lines().end(), text) != Lines().end();
  }

 private:
  // Markers are echoed (unless echo_markers is false), after the packets `before_marker`
  // gives, if any: the true answers a misattributing device still owes. They are recorded apart
  // from the requests, so the commands' own request sequences stay as they were.
  bool AnswerMarker(const diaglib::DiagRequest& marker, diaglib::DiagReply& reply) {
    markers.emplace_back(marker.bytes, marker.bytes + marker.length);
    if (before_marker) {
      for (const Bytes& stray : before_marker()) {
        ledger_.Put(stray.data(), static_cast<uint16_t>(stray.size()));
      }
    }
    if (!echo_markers || !marker.answers(marker.bytes, marker.length)) return false;
    reply.length = std::min<uint16_t>(marker.length, reply.capacity);
    std::copy(marker.bytes, marker.bytes + reply.length, reply.bytes);
    return true;
  }
  static void Capture(int, const void* record, int) {
    Lines().emplace_back(static_cast<const char*>(record) + kTextLogRecordTextOffset);
  }

  testsupport::TestClock clock_;
  DataLogFileHandler log_;
  diaglib::CommandPacket packet_;
  diaglib::ReplyLedger ledger_;
};

}  // namespace diaglib_test

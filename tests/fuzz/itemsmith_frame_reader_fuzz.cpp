// itemsmith's frame reader: a port whose reads hand out any bytes, in any pieces, with or
// without frames in them, under each exchange the tool makes. A reply taken must be a checked
// packet that fits where it is put; nothing may wait past the read attempts.
#include <cstring>
#include <deque>
#include <memory>

#include "common/diag_frame.hpp"
#include "fuzz_support.hpp"
#include "fuzz_targets.hpp"
#include "nvtool/diag_link.hpp"
#include "nvtool/output_channels.hpp"

namespace fuzz {
namespace {

// A port that is always there; each read returns the next piece of the input, or nothing
// after the read time-out once the input is used up.
class PiecesPort final : public platform::ComPort {
 public:
  PiecesPort(platform::Clock& clock, std::deque<Bytes> pieces)
      : clock_(clock), pieces_(std::move(pieces)) {}
  uint32_t Open(int, platform::IoMode) override { return open_ = true, 0u; }
  void Close() override { open_ = false; }
  bool IsOpen() const override { return open_; }
  bool Setup(uint32_t, uint32_t) override { return true; }
  bool GetProperties(platform::CommProperties* p) override {
    p->dwProvCapabilities = platform::kPcfIntTimeouts;
    return true;
  }
  bool GetTimeouts(platform::CommTimeouts*) override { return true; }
  bool SetTimeouts(const platform::CommTimeouts& t) override { return timeouts_ = t, true; }
  bool GetState(platform::LineSettings*) override { return true; }
  bool SetState(const platform::LineSettings&) override { return true; }
  bool Escape(platform::CommFunction) override { return true; }
  // A purge only clears what has arrived; the pieces stand for bytes still to come.
  bool Purge(uint32_t) override { return true; }
  bool Read(uint8_t* buffer, uint32_t count, uint32_t* got) override {
    *got = 0;
    if (pieces_.empty()) {
      clock_.Pause(timeouts_.ReadTotalTimeoutConstant);
      return true;
    }
    Bytes& piece = pieces_.front();
    const uint32_t n = std::min<uint32_t>(count, static_cast<uint32_t>(piece.size()));
    if (n > 0) std::memcpy(buffer, piece.data(), n);  // an empty piece: a read that got nothing
    piece.erase(piece.begin(), piece.begin() + n);
    if (piece.empty()) pieces_.pop_front();
    *got = n;
    return true;
  }
  bool Write(const uint8_t*, uint32_t count, uint32_t* written) override {
    return *written = count, true;
  }
  bool QueueStatus(uint32_t*, uint32_t*) override { return false; }
  bool WaitReadable(uint32_t) override { return false; }
  bool WaitReadableOrWoken() override { return false; }
  void Wake() override {}
  uint32_t LastError() const override { return 0; }

 private:
  platform::Clock& clock_;
  std::deque<Bytes> pieces_;
  platform::CommTimeouts timeouts_;
  bool open_ = false;
};

}  // namespace

int FuzzItemsmithFrameReader(const uint8_t* data, size_t size) {
  ByteSource in(data, size);
  const uint8_t exchange = in.Byte();
  std::deque<Bytes> pieces;
  while (!in.Empty()) pieces.push_back(in.Chunk());

  FuzzClock clock;
  nvtool::Environment env;
  env.console_write = [](const std::string&) {};
  env.console_write_wide = [](const std::wstring&) {};
  nvtool::OutputChannels out(env);
  nvtool::DiagLink link(
      clock,
      [&pieces](platform::Clock& c) { return std::make_unique<PiecesPort>(c, std::move(pieces)); },
      out);
  FUZZ_CHECK(link.OpenComPort(7) == 0);

  switch (exchange % 4) {
    case 0:
      link.DiagVersionRequest();
      break;
    case 1:
      link.ChangePhoneMode(exchange & 0x10 ? nvtool::kModeReset : nvtool::kModeOffline);
      break;
    case 2: {
      // The NV exchange: a reply of up to 133 bytes into a buffer of exactly that size.
      const uint8_t request[133] = {0x26, 0x01, 0x02};
      auto reply = std::make_unique<uint8_t[]>(133);
      size_t length = 0;
      if (link.DiagTransact(request, sizeof request, reply.get(), 133, 10, &length)) {
        FUZZ_CHECK(length <= 133);
      }
      break;
    }
    default: {
      // One read attempt into a buffer of a size the input chooses, checked byte for byte.
      const size_t capacity = exchange / 4 + 1;
      auto packet = std::make_unique<uint8_t[]>(capacity);
      size_t length = 0;
      if (link.ReceiveDiagFrame(packet.get(), capacity, &length)) {
        FUZZ_CHECK(length <= capacity);
        Bytes framed(length * 2 + 8);
        FUZZ_CHECK(common::EncodeFrame(packet.get(), length, framed.data(), framed.size()) != 0);
      } else {
        FUZZ_CHECK(length == 0);
      }
      break;
    }
  }
  // Every read attempt is bounded: a whole exchange ends within its attempts' time.
  FUZZ_CHECK(clock.TickCount() <= 5u * 100u * (nvtool::kReadAttemptMs + 1) * 2);
  return 0;
}

}  // namespace fuzz

FUZZ_ENTRY(fuzz::FuzzItemsmithFrameReader)

// The replies the library decodes, each any bytes: version and extended build id, NV read,
// call-manager status, mode control, and the EFS2 status, open, write, close, listing and
// delete replies. A session stands in for the transport and answers each request with the
// next reply of the input, which may repeat the request's first bytes so that the checks on
// echoed fields can be passed. Output buffers are exactly as large as the caller says.
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>

#include "diaglib/commands/core_commands.hpp"
#include "diaglib/commands/diag_session.hpp"
#include "diaglib/commands/efs_directory.hpp"
#include "diaglib/commands/efs_file_write.hpp"
#include "diaglib/commands/reply_ledger.hpp"
#include "diaglib/log/data_log_file_handler.hpp"
#include "fuzz_support.hpp"
#include "fuzz_targets.hpp"

namespace fuzz {
namespace {

class ReplySession final : public diaglib::DiagSession, public diaglib::DiagLink {
 public:
  explicit ReplySession(ByteSource& in) : in_(in), log_(clock_) {
    // Every line kept, so that the hex dumps of what came back run over the replies too.
    log_.SetMask(0xFFFFFFFFu);
    log_.SetTextLogCallBack([](int, const void*, int) {}, 0);
  }

  diaglib::DiagLink& Link() override { return *this; }
  // Stale answers are skipped as the transport skips them, within the same wait, and set aside;
  // the marker's wait sets aside every reply before its echo, of whatever code.
  bool SendSync(const diaglib::DiagRequest& request, diaglib::DiagReply& reply) override {
    FUZZ_CHECK(request.length <= diaglib::CommandPacket::kCapacity);
    reply.length = 0;
    if (request.wait_ms > 0) clock_.Pause(static_cast<uint32_t>(request.wait_ms));
    while (!in_.Empty()) {
      const uint8_t shape = in_.Byte();
      Bytes packet(request.bytes, request.bytes + std::min<size_t>(shape % 24, request.length));
      const Bytes tail = in_.Chunk();
      packet.insert(packet.end(), tail.begin(), tail.end());
      if (packet.empty()) continue;
      const uint16_t length = static_cast<uint16_t>(std::min<size_t>(packet.size(), 0xFFFF));
      const bool awaited = packet[0] == request.expected_code || request.any_code;
      if (awaited && request.answers && !request.answers(packet.data(), length)) {
        ledger_.Put(packet.data(), length);
        continue;
      }
      const size_t taken = std::min<size_t>(packet.size(), reply.capacity);
      std::memcpy(reply.bytes, packet.data(), taken);
      reply.length = static_cast<uint16_t>(taken);
      return awaited;
    }
    clock_.Pause(request.timeout_ms > 0 ? static_cast<uint32_t>(request.timeout_ms) : 0);
    return false;
  }
  diaglib::ReplyLedger& Ledger() override { return ledger_; }

  int TimeOutValue(int id) const override {
    return id == diaglib::kTimeOutAfterOffline ? 3000 : 500;
  }
  int GetTimeOut(int id) override { return TimeOutValue(id); }
  bool IsPortOpen() override { return true; }
  bool OpenPort() override { return true; }
  bool EnsurePortOpen() override { return true; }
  bool AlwaysConnected() override { return false; }
  platform::Clock& Clock() override { return clock_; }
  diaglib::DataLogFileHandler* LogHandler() override { return &log_; }
  diaglib::CommandPacket& Packet() override { return packet_; }
  VODE_Efs2ProgressCallBack ProgressCallBack() const override { return &Progress; }
  VODE_Efs2DirCallBack DirectoryCallBack() const override { return &Entry; }
  int ContextValue() const override { return 1; }

  FuzzClock& clock() { return clock_; }

 private:
  static bool Progress(const char* source, const char* destination, int, int, int done, int total,
                       int) {
    FUZZ_CHECK(std::strlen(source) > 0 && std::strlen(destination) > 0);
    FUZZ_CHECK(done >= 0 && done <= total);
    return true;
  }
  static bool Entry(const char* path, uint8_t, uint16_t, uint8_t, uint8_t, int, int, int) {
    FUZZ_CHECK(std::strlen(path) < 1024);
    return true;
  }

  ByteSource& in_;
  FuzzClock clock_;
  diaglib::DataLogFileHandler log_;
  diaglib::CommandPacket packet_;
  diaglib::ReplyLedger ledger_;
};

// Local files for the EFS2 write: empty, one chunk and a bit, several chunks. They stay for the
// process's life and are removed at its end.
std::vector<std::string> MakeLocalFiles() {
  std::vector<std::string> names;
  for (size_t bytes : {0u, 700u, 1600u}) {
    char name[] = "/tmp/linetools-fuzz-XXXXXX";
    const int fd = mkstemp(name);
    FUZZ_CHECK(fd >= 0);
    const std::string content(bytes, 'k');
    FUZZ_CHECK(write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size()));
    close(fd);
    names.push_back(name);
  }
  return names;
}

struct LocalFiles {
  std::vector<std::string> names = MakeLocalFiles();
  ~LocalFiles() {
    for (const std::string& name : names) unlink(name.c_str());
  }
};

const std::string& LocalFile(int which) {
  static const LocalFiles files;
  return files.names[static_cast<size_t>(which)];
}

}  // namespace

int FuzzLibraryReplies(const uint8_t* data, size_t size) {
  ByteSource in(data, size);
  const uint8_t command = in.Byte();
  const uint8_t parameter = in.Byte();
  ReplySession session(in);

  switch (command % 14) {
    case 0:
      diaglib::IsPhoneConnected(session);
      break;
    case 1: {
      auto record = std::make_unique<uint8_t[]>(diaglib::kVersionRecordSize);
      size_t copied = 0;
      if (diaglib::ReadVersion(session, parameter & 1 ? record.get() : nullptr, &copied)) {
        FUZZ_CHECK(copied <= diaglib::kVersionRecordSize);
      }
      break;
    }
    case 2: {
      // Buffers of the sizes the caller names, from a single byte up.
      const size_t revision_size = parameter % 16 + 1, model_size = parameter / 16 + 1;
      auto revision = std::make_unique<char[]>(revision_size);
      auto model = std::make_unique<char[]>(model_size);
      uint32_t chip = 0, mobile = 0;
      if (diaglib::ReadExtBuildId(session, &chip, &mobile, revision.get(), revision_size,
                                  model.get(), model_size)) {
        FUZZ_CHECK(strnlen(revision.get(), revision_size) < revision_size);
        FUZZ_CHECK(strnlen(model.get(), model_size) < model_size);
      }
      break;
    }
    case 3: {
      const int length = parameter % 140;
      auto item = std::make_unique<uint8_t[]>(length > 0 ? length : 1);
      uint16_t status = 0;
      diaglib::ReadNvItem(session, static_cast<uint16_t>(parameter * 7),
                          length > 0 ? item.get() : nullptr, length, &status);
      break;
    }
    case 4: {
      uint32_t call_state = 0, system_mode = 0;
      diaglib::GetPhoneCallState(session, &call_state, &system_mode);
      break;
    }
    case 5: {
      uint32_t mode = 0;
      diaglib::GetPhoneOperatingMode(session, &mode);
      break;
    }
    case 6:
      diaglib::ControlPhoneMode(session, parameter % 8);
      break;
    case 7:
      diaglib::StatFSAvailSpace(session);
      break;
    case 8:
      diaglib::EfsWriteFile(session, LocalFile(parameter % 3).c_str(), "/nv/item_files/fuzz");
      break;
    case 9:
      diaglib::EfsMakeDirectory(session, "/nv/fuzz");
      break;
    case 10:
      diaglib::EfsRemoveDirectory(session, "/nv/fuzz");
      break;
    case 11:
      diaglib::EfsRemoveFile(session, "/nv/fuzz/file");
      break;
    case 12: {
      std::vector<diaglib::EfsDirEntry> entries;
      if (diaglib::EfsListFolder(session, parameter & 1 ? "/" : "/nv/item_files", &entries)) {
        for (const diaglib::EfsDirEntry& entry : entries) {
          FUZZ_CHECK(strnlen(entry.name, sizeof entry.name) < sizeof entry.name);
        }
      }
      break;
    }
    default:
      diaglib::EfsDirectory(session, "/nv");
      break;
  }
  // Every exchange the input did not answer times out once: nothing waits on and on.
  FUZZ_CHECK(session.clock().TickCount() < 60u * 60u * 1000u);
  return 0;
}

}  // namespace fuzz

FUZZ_ENTRY(fuzz::FuzzLibraryReplies)

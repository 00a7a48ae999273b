#include "nvtool/nv_item.hpp"

#include <array>
#include <cstring>

#include "nvtool/wide_text.hpp"

namespace nvtool {
namespace {

constexpr int kSendsPerPhase = 2;
constexpr int kReadAttempts = 10;
// A read reply must carry the whole data field: its bytes 16 to 127 go back into the write.
constexpr size_t kReadReplyMin = kNvDataOffset + kNvDataSize;
constexpr size_t kWriteReplyMin = kNvDataOffset;
constexpr size_t kNvStatusOffset = kNvDataOffset + kNvDataSize;
constexpr uint16_t kNvStatusInactive = 5;

using NvPacket = std::array<uint8_t, kNvPacketSize>;

NvPacket NvRequest(uint8_t code, uint16_t item_id) {
  NvPacket packet{};
  packet[0] = code;
  packet[1] = static_cast<uint8_t>(item_id & 0xFF);
  packet[2] = static_cast<uint8_t>(item_id >> 8);
  return packet;
}

void Log(OutputChannels& out, const std::string& text) {
  out.WriteLogRaw(text);
  out.WriteLogRaw("\r\n");
}

// Up to two sends of `request`; true once a reply of the request's code and item id, and of
// at least `min_length` bytes, is in *reply. Replies that are not accepted are never kept.
bool ExchangeNv(DiagLink& link, const NvPacket& request, size_t min_length, NvPacket* reply) {
  for (int send = 0; send < kSendsPerPhase; ++send) {
    NvPacket received{};
    size_t length = 0;
    // The reply repeats the code and the item id; anything else is not this item's answer.
    if (!link.DiagTransact(request.data(), request.size(), received.data(), received.size(),
                           kReadAttempts, &length, AnswersRequest(request.data(), 3))) {
      continue;
    }
    if (length >= min_length && received[0] == request[0] && received[1] == request[1] &&
        received[2] == request[2]) {
      *reply = received;
      return true;
    }
  }
  return false;
}

// The word after the data: 0 when the device read an item it holds. A reply cut before it says
// nothing else.
uint16_t ReplyStatus(const NvPacket& reply) {
  return static_cast<uint16_t>(reply[kNvStatusOffset] | (reply[kNvStatusOffset + 1] << 8));
}

const char* StatusMeaning(uint16_t status) {
  // An item never written is not active: the device answers zeros it does not hold, and its
  // firmware goes on with its built-in default, so zeros in the list would never reach it.
  if (status == kNvStatusInactive) {
    return "not active: the device holds no such item and uses its built-in default";
  }
  return "the device did not read the item: the data it sent are not the item's";
}

bool ReadPhase(DiagLink& link, OutputChannels& out, uint16_t item_id, NvPacket* reply) {
  if (!ExchangeNv(link, NvRequest(kNvReadCode, item_id), kReadReplyMin, reply)) return false;
  const uint8_t* d = reply->data() + kNvDataOffset;
  Log(out,
      Format("NV%d option Read, data[0] = 0x%x, data[1] = 0x%x, data[2] = 0x%x, data[3] = 0x%x, "
             "data[4] = 0x%x, data[5] = 0x%x, data[6] = 0x%x, data[7] = 0x%x,data[8] = 0x%x, "
             "data[9] = 0x%x, data[10] = 0x%x, data[11] = 0x%x, data[12] = 0x%x, data[13] = 0x%x, "
             "data[14] = 0x%x, data[15] = 0x%x",
             item_id, d[0], d[1], d[2], d[3], d[4], d[5], d[6], d[7], d[8], d[9], d[10], d[11],
             d[12], d[13], d[14], d[15]));
  const uint16_t status = ReplyStatus(*reply);
  if (status != 0) {
    Log(out, Format("NV%d reported with status %d, %s", item_id, status, StatusMeaning(status)));
  }
  return true;
}

// Only an item the device reports as read holds anything: data sent with another status are
// not the item's, whatever they look like.
bool HoldsValues(const NvPacket& reply, const NvValues& values) {
  return ReplyStatus(reply) == 0 &&
         std::memcmp(reply.data() + kNvDataOffset, values.data(), values.size()) == 0;
}

bool Fail(OutputChannels& out, uint16_t item_id) {
  Log(out, Format("SetNvItem_%d return false ", item_id));
  return false;
}

}  // namespace

bool SetNvItem(DiagLink& link, OutputChannels& out, uint16_t item_id, const NvValues& values) {
  Log(out, Format("SetNvItem %d +++", item_id));

  // Without the item's stored bytes there is nothing sound to compare with or write back.
  NvPacket item{};
  if (!ReadPhase(link, out, item_id, &item)) return Fail(out, item_id);
  if (HoldsValues(item, values)) {
    Log(out, Format("NV%d not need to modify ", item_id));
    return true;
  }

  NvPacket write = NvRequest(kNvWriteCode, item_id);
  std::memcpy(write.data() + kNvDataOffset, item.data() + kNvDataOffset, kNvDataSize);
  std::memcpy(write.data() + kNvDataOffset, values.data(), values.size());
  NvPacket write_reply{};
  // An unanswered write may still have landed: the read-back alone decides.
  if (ExchangeNv(link, write, kWriteReplyMin, &write_reply)) {
    Log(out, Format("NV%d is written success ", item_id));
  }

  NvPacket verify{};
  if (!ReadPhase(link, out, item_id, &verify) || !HoldsValues(verify, values))
    return Fail(out, item_id);
  Log(out, Format("NV%d is  is written ", item_id));
  Log(out, Format("SetNvItem_%d ---", item_id));
  return true;
}

}  // namespace nvtool

// Misbehaviour on request: the answers a test chose are dropped, turned into error answers,
// patched, cut, preceded by noise or an unsolicited packet, sent with a bad CRC, delayed,
// doubled or split into pieces. Answers leave in order; a copy of one leaves when it is made.
#include <algorithm>
#include <chrono>
#include <utility>

#include "devicesim/device_impl.hpp"

namespace devicesim {

void VirtualDevice::Impl::Emit(const Bytes& request, Bytes response) {
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
    if (response.size() < patch_offset + patch.size())
      response.resize(patch_offset + patch.size(), 0);
    std::copy(patch.begin(), patch.end(),
              response.begin() + static_cast<std::ptrdiff_t>(patch_offset));
  }
  if (truncate_n > 0) {
    --truncate_n;
    if (response.size() > truncate_length) response.resize(truncate_length);
  }
  Bytes frame;
  auto due = SteadyClock::now();
  if (unsolicited_n > 0) {
    --unsolicited_n;
    if (unsolicited_separate) {
      Queue(FramePacket(unsolicited_packet), due);
      due += std::chrono::milliseconds(unsolicited_gap_ms);
    } else {
      frame = FramePacket(unsolicited_packet);
    }
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

  if (Armed(&delay_after, &delay_n)) due += std::chrono::milliseconds(delay_ms);
  for (Bytes& stray : strays) Queue(std::move(stray), due);
  strays.clear();
  if (stray_n > 0) {
    --stray_n;
    strays.push_back(frame);
    if (!stray_on_time) return;
  }
  if (twice_n > 0) {
    --twice_n;
    Queue(frame, due);
    const auto gap =
        std::chrono::duration_cast<std::chrono::milliseconds>(due - SteadyClock::now()) +
        std::chrono::milliseconds(twice_gap_ms);
    After(static_cast<uint32_t>(gap.count()), [this, frame] { Queue(frame, SteadyClock::now()); });
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

}  // namespace devicesim

// The virtual device's misbehaviours as one table, alone and two on successive requests, for
// the fault matrices of the library, treesmith and itemsmith. Each fault strikes answers to
// requests that start with the prefix the test chose (MisbehaveOnlyFor), set before arming.
#pragma once

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "devicesim/virtual_device.hpp"

namespace testsupport {

struct DeviceFault {
  std::string name;
  std::function<void(devicesim::VirtualDevice&)> arm;
  bool efs_write_only = false;  // a fault of the EFS2 write itself (short, refused)
};
inline void PrintTo(const DeviceFault& fault, std::ostream* out) { *out << fault.name; }

// `late_ms` of real time must exceed the test clock's real wait cap, so that a late answer
// comes after the requester gave up on it.
inline std::vector<DeviceFault> DeviceFaults(uint32_t late_ms) {
  using devicesim::VirtualDevice;
  constexpr int32_t kEio = 5;
  return {
      {"drop", [](VirtualDevice& d) { d.DropResponses(1); }},
      {"late", [late_ms](VirtualDevice& d) { d.DelayResponses(1, late_ms); }},
      {"split", [](VirtualDevice& d) { d.SplitResponses(2, 3, 2); }},
      {"corrupt_crc", [](VirtualDevice& d) { d.CorruptCrc(1); }},
      {"noise",
       [](VirtualDevice& d) {
         d.NoiseBeforeResponses(2, {0x01, 0x7E, 0x7D, 0x02, 0x7E});
       }},
      {"other_code", [](VirtualDevice& d) { d.ReplaceCommandCode(1, 0x7B); }},
      {"diag_error", [](VirtualDevice& d) { d.ErrorResponses(1, 0x14); }},
      {"log_packet_first",
       [](VirtualDevice& d) {
         d.UnsolicitedBeforeResponses(2, {0x10, 0, 4, 0, 1, 2, 3, 4});
       }},
      {"twice", [](VirtualDevice& d) { d.AnswerTwice(2, 30); }},
      {"vanish", [](VirtualDevice& d) { d.DisappearAfterRequests(2, 40); }},
      {"short_write", [](VirtualDevice& d) { d.ShortEfsWrites(2, 100); }, true},
      {"refused_write", [](VirtualDevice& d) { d.RefuseEfsWrites(1, kEio); }, true},
      {"refused_for_good", [](VirtualDevice& d) { d.RefuseEfsWrites(1000, kEio); }, true},
      // A late answer to write k, then a refusal of write k+1 (after k's resend).
      {"late_then_refused",
       [late_ms](VirtualDevice& d) {
         d.DelayResponses(1, late_ms);
         d.RefuseEfsWrites(1, kEio, 2);
       },
       true},
      // Write k answered twice, then write k+1 stored only in part.
      {"twice_then_short",
       [](VirtualDevice& d) {
         d.AnswerTwice(1, 30);
         d.ShortEfsWrites(1, 100, 1);
       },
       true},
      {"twice_then_refused",
       [](VirtualDevice& d) {
         d.AnswerTwice(1, 30);
         d.RefuseEfsWrites(1, kEio, 1);
       },
       true},
  };
}

// Every fault kind on every EFS2 sub-command the tools send, each aimed at that sub-command
// alone (the device's descriptors are reused, as its default is), and the two-fault shapes of a
// device that reuses descriptors: a stray answer to one request that repeats the bytes a later
// request's answer echoes (the same descriptor at offset 0, a close), which the later request's
// own answer, held back a little, must not be mistaken for.
inline std::vector<DeviceFault> Efs2SubCommandFaults(uint32_t late_ms) {
  using devicesim::VirtualDevice;
  constexpr int32_t kEio = 5;
  auto aim = [](VirtualDevice& d, const std::string& sub_command) {
    std::vector<uint8_t> prefix;
    EXPECT_TRUE(VirtualDevice::Efs2Prefix(sub_command, &prefix)) << sub_command;
    d.MisbehaveOnlyFor(prefix);
  };
  std::vector<DeviceFault> faults;
  for (const char* name : {"open", "write", "close", "mkdir", "unlink", "rmdir", "opendir",
                           "readdir", "closedir", "statfs"}) {
    const std::string sub(name);
    faults.push_back({sub + "_late", [=](VirtualDevice& d) {
                        aim(d, sub);
                        d.DelayResponses(1, late_ms);
                      }});
    faults.push_back({sub + "_twice", [=](VirtualDevice& d) {
                        aim(d, sub);
                        d.AnswerTwice(1, 10);
                      }});
    faults.push_back({sub + "_dropped", [=](VirtualDevice& d) {
                        aim(d, sub);
                        d.DropResponses(1);
                      }});
    faults.push_back({sub + "_refused", [=](VirtualDevice& d) {
                        aim(d, sub);
                        EXPECT_TRUE(d.RefuseEfs2(sub, 1, kEio));
                      }});
  }
  // Answer k twice, the copy 10 ms later; request k+1 (the next file's first write, or the
  // next close, on the same descriptor) refused, its answer 50 ms late: the copy comes first.
  for (const char* name : {"write", "close"}) {
    const std::string sub(name);
    faults.push_back({sub + "_twice_then_refused", [=](VirtualDevice& d) {
                        aim(d, sub);
                        d.AnswerTwice(1, 10);
                        d.DelayResponses(1, 50, 1);
                        EXPECT_TRUE(d.RefuseEfs2(sub, 1, kEio, 1));
                      }});
  }
  // The same, timed by requests: the copy of answer k leaves right before the answer to
  // request k+1, which is refused.
  for (const char* name : {"write", "close"}) {
    const std::string sub(name);
    faults.push_back({sub + "_copy_then_refused", [=](VirtualDevice& d) {
                        aim(d, sub);
                        d.AnswerStrayBeforeNext(1, true);
                        EXPECT_TRUE(d.RefuseEfs2(sub, 1, kEio, 1));
                      }});
  }
  // Answer k held past the requester's time-out; request k+1 refused.
  faults.push_back({"write_late_then_refused", [=](VirtualDevice& d) {
                      aim(d, "write");
                      d.DelayResponses(1, late_ms);
                      EXPECT_TRUE(d.RefuseEfs2("write", 1, kEio, 1));
                    }});
  // The same, timed by requests: answer k leaves only right before the answer to request k+1.
  faults.push_back({"write_held_then_refused", [=](VirtualDevice& d) {
                      aim(d, "write");
                      d.AnswerStrayBeforeNext(1, false);
                      EXPECT_TRUE(d.RefuseEfs2("write", 1, kEio, 1));
                    }});
  return faults;
}

}  // namespace testsupport

// A scripted stand-in for the diagnostic library: the tool's steps run against it without a
// device, and every call they make is recorded in order.
#pragma once

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "efstool/vode_api.hpp"

namespace efstool_test {

struct FakeEntry {
  std::string name;
  uint8_t type;  // as the directory handler receives it: 1 file, 0 folder, 2 link
};

struct FakeVode {
  // Connection.
  int connect_failures = 0;    // null handles before the first real one (-1: always null)
  int null_from_connect = -1;  // this connection call and every later one give null
  int phone_misses = 0;        // IsPhoneConnected answers false this many times first
  uint16_t port = 7;
  bool offline_ok = true;
  bool get_mode_ok = true;
  uint32_t operating_mode = 2;
  uint32_t call_state = 0, system_mode = 5;
  bool verno_ok = true, ext_build_ok = true, nv_read_ok = true;
  uint8_t ftm_mode_byte = 0;

  // The device's file system as the listing sees it: folder -> entries. A folder that is not
  // a key, nor holds one, does not exist and its listing fails. Removing a folder that holds a
  // key fails; removing one that does not takes its key away.
  std::map<std::string, std::vector<FakeEntry>> folders;
  std::set<std::string> unlistable;      // folders that exist but whose listing fails
  std::set<std::string> refused_writes;  // EFS paths whose write fails
  std::set<std::string> refused_mkdirs;
  std::set<std::string> refused_deletes;
  std::set<std::string> refused_rmdirs;
  std::function<void(const std::string& local)> on_write;  // while a file is being sent

  // Recorded.
  std::vector<std::string>
      calls;  // "Delete path", "RmDir path", "MkDir path", "Write local>efs", ...
  int connect_calls = 0, connects = 0, disconnects = 0, close_alls = 0, clocks_handed = 0;
  VODE_Efs2DirCallBack directory_callback = nullptr;
  VODE_Efs2ProgressCallBack progress_callback = nullptr;

  std::vector<std::string> CallsStartingWith(const std::string& prefix) const;
};

// The scripted library, fresh for every test (ResetFake), and the table that points at it.
FakeVode& Fake();
void ResetFake();
const efstool::VodeApi& FakeApi();

}  // namespace efstool_test

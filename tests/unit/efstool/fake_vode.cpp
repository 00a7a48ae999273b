#include "fake_vode.hpp"

#include <cstring>

namespace efstool_test {
namespace {

FakeVode* g_fake = nullptr;
int g_context_token = 0;

VODE_HANDLE Handle() { return &g_context_token; }
bool Alive(VODE_HANDLE handle) { return handle == Handle(); }

void SelectLibraryMode(uint8_t) {}
void ReadLibraryVersion(char* buffer) { std::strcpy(buffer, "VODE V5.3.32,DIRECTMS"); }
void QueryLibraryFeatures(uint8_t* diag, uint8_t* efs, uint8_t* download, uint8_t* tovik) {
  *diag = 1;
  *efs = 1;
  *download = 0;
  *tovik = 0;
}
VODE_HANDLE ConnectServer(uint16_t) {
  FakeVode& f = Fake();
  f.calls.push_back("Connect");
  const int call = f.connect_calls++;
  if (f.connect_failures < 0) return nullptr;
  if (f.null_from_connect >= 0 && call >= f.null_from_connect) return nullptr;
  if (f.connect_failures > 0) {
    --f.connect_failures;
    return nullptr;
  }
  ++f.connects;
  return Handle();
}
void CloseAllContexts() { ++Fake().close_alls; }
void DisconnectServer(VODE_HANDLE handle) {
  if (!Alive(handle)) return;
  ++Fake().disconnects;
  Fake().calls.push_back("Disconnect");
}
bool GetContextPort(VODE_HANDLE handle, uint16_t* port) {
  if (!Alive(handle)) return false;
  *port = Fake().port;
  return true;
}
void ConfigureCallBacks(VODE_HANDLE, VODE_EfsCallBack, VODE_SwDownloadCallBack,
                        VODE_AsyncMessageCallBack) {}
void ConfigureEfs2CallBacks(VODE_HANDLE handle, VODE_Efs2ProgressCallBack progress,
                            VODE_Efs2DirCallBack directory) {
  if (!Alive(handle)) return;
  Fake().progress_callback = progress;
  Fake().directory_callback = directory;
}
void ConfigureLibraryTextLogCallBack(VODE_HANDLE, VODE_TextLogCallBack) {}
bool IsPhoneConnected(VODE_HANDLE handle) {
  if (!Alive(handle)) return false;
  FakeVode& f = Fake();
  if (f.phone_misses > 0) {
    --f.phone_misses;
    return false;
  }
  return true;
}
bool FlushRxBuffer(VODE_HANDLE handle) { return Alive(handle); }
bool GetPhoneMode(VODE_HANDLE handle, uint32_t* mode) {
  if (!Alive(handle) || !Fake().get_mode_ok) return false;
  *mode = Fake().operating_mode;
  return true;
}
bool GetPhoneCallState(VODE_HANDLE handle, uint32_t* call_state, uint32_t* system_mode) {
  if (!Alive(handle)) return false;
  *call_state = Fake().call_state;
  *system_mode = Fake().system_mode;
  return true;
}
bool DiagControl(VODE_HANDLE handle, uint32_t mode) {
  Fake().calls.push_back("Control " + std::to_string(mode));
  return Alive(handle) && Fake().offline_ok;
}
bool NvRead(VODE_HANDLE handle, uint16_t, uint8_t* data, int, uint16_t* status) {
  if (!Alive(handle) || !Fake().nv_read_ok) return false;
  data[0] = Fake().ftm_mode_byte;
  *status = 0;
  return true;
}
bool Verno(VODE_HANDLE handle, char* compile_date, char* compile_time, char* release_date,
           char* release_time, char* version_directory, uint8_t* scm, uint8_t* cai, uint8_t* model,
           uint16_t* firmware, uint8_t* slot, uint8_t* voc_major, uint8_t* voc_minor) {
  if (!Alive(handle) || !Fake().verno_ok) return false;
  std::strcpy(compile_date, "Dec 07 2026");
  std::strcpy(compile_time, "12:00:00");
  std::strcpy(release_date, "Nov 30 2026");
  std::strcpy(release_time, "09:30:00");
  std::strcpy(version_directory, "KVX1000 ");
  *scm = 10;
  *cai = 6;
  *model = 156;
  *firmware = 1234;
  *slot = 2;
  *voc_major = 1;
  *voc_minor = 0;
  return true;
}
bool ExtBuildId(VODE_HANDLE handle, uint32_t* chip, uint32_t* model, char* revision,
                size_t revision_size, char* model_text, size_t model_size) {
  if (!Alive(handle) || !Fake().ext_build_ok) return false;
  *chip = 0xC1E0E1;
  *model = 0x9C;
  std::snprintf(revision, revision_size, "%s", "KVX-SW-1.2.3");
  std::snprintf(model_text, model_size, "%s", "KVX1000");
  return true;
}
bool FtmCode(VODE_HANDLE handle, uint16_t* code) {
  if (!Alive(handle)) return false;
  *code = 75;
  return true;
}
bool TovikStatus(VODE_HANDLE, uint32_t*) { return false; }

bool EfsDirectory(VODE_HANDLE handle, const char* folder) {
  FakeVode& f = Fake();
  f.calls.push_back(std::string("Dir ") + folder);
  if (!Alive(handle)) return false;
  // A folder exists when it is a key, or holds one; the root always does. Folders that hold a
  // key are listed as folder entries.
  const std::string self = folder;
  std::vector<FakeEntry> entries;
  bool exists = self.empty();
  auto it = f.folders.find(self);
  if (it != f.folders.end()) exists = true, entries = it->second;
  if (f.unlistable.count(self) != 0) return false;
  std::set<std::string> subfolders;
  const std::string prefix = self.empty() ? "" : self + "/";
  for (const auto& kept : f.folders) {
    if (kept.first.size() <= prefix.size() || kept.first.compare(0, prefix.size(), prefix) != 0)
      continue;
    exists = true;
    const std::string rest = kept.first.substr(prefix.size());
    subfolders.insert(rest.substr(0, rest.find('/')));
  }
  if (!exists) return false;
  for (const std::string& sub : subfolders) entries.push_back({sub, 0});
  // The listing is read whole before the handler sees it, as the library does.
  if (f.directory_callback == nullptr) return true;
  for (const FakeEntry& entry : entries) {
    const std::string path = self + "/" + entry.name;
    f.directory_callback(path.c_str(), entry.type, 0, 0, 0, 0, 10, 1);
  }
  return true;
}
bool EfsWrite(VODE_HANDLE handle, const char* local, const char* efs) {
  FakeVode& f = Fake();
  f.calls.push_back(std::string("Write ") + local + ">" + efs);
  if (f.on_write) f.on_write(local);
  return Alive(handle) && f.refused_writes.count(efs) == 0;
}
bool EfsDelete(VODE_HANDLE handle, const char* path) {
  FakeVode& f = Fake();
  f.calls.push_back(std::string("Delete ") + path);
  if (!Alive(handle) || f.refused_deletes.count(path) != 0) return false;
  const std::string text = path;
  const size_t slash = text.rfind('/');
  if (slash != std::string::npos) {
    auto it = f.folders.find(text.substr(0, slash));
    if (it != f.folders.end()) {
      auto& entries = it->second;
      for (auto e = entries.begin(); e != entries.end(); ++e) {
        if (e->name == text.substr(slash + 1)) {
          entries.erase(e);
          break;
        }
      }
    }
  }
  return true;
}
bool EfsMkDir(VODE_HANDLE handle, const char* path) {
  FakeVode& f = Fake();
  f.calls.push_back(std::string("MkDir ") + path);
  return Alive(handle) && f.refused_mkdirs.count(path) == 0;
}
bool EfsRmDir(VODE_HANDLE handle, const char* path) {
  FakeVode& f = Fake();
  f.calls.push_back(std::string("RmDir ") + path);
  if (!Alive(handle) || f.refused_rmdirs.count(path) != 0) return false;
  // As on a device, a folder that holds a folder stays; one that goes is no longer listed.
  const std::string prefix = std::string(path) + "/";
  for (const auto& kept : f.folders) {
    if (kept.first.compare(0, prefix.size(), prefix) == 0) return false;
  }
  f.folders.erase(path);
  return true;
}
void UseClock(platform::Clock&) { ++Fake().clocks_handed; }

}  // namespace

std::vector<std::string> FakeVode::CallsStartingWith(const std::string& prefix) const {
  std::vector<std::string> found;
  for (const std::string& call : calls) {
    if (call.compare(0, prefix.size(), prefix) == 0) found.push_back(call.substr(prefix.size()));
  }
  return found;
}

FakeVode& Fake() {
  if (g_fake == nullptr) g_fake = new FakeVode();
  return *g_fake;
}

void ResetFake() {
  delete g_fake;
  g_fake = new FakeVode();
}

const efstool::VodeApi& FakeApi() {
  static const efstool::VodeApi api = {SelectLibraryMode,
                                       ReadLibraryVersion,
                                       QueryLibraryFeatures,
                                       ConnectServer,
                                       CloseAllContexts,
                                       DisconnectServer,
                                       GetContextPort,
                                       ConfigureCallBacks,
                                       ConfigureEfs2CallBacks,
                                       ConfigureLibraryTextLogCallBack,
                                       IsPhoneConnected,
                                       FlushRxBuffer,
                                       GetPhoneMode,
                                       GetPhoneCallState,
                                       DiagControl,
                                       NvRead,
                                       Verno,
                                       ExtBuildId,
                                       FtmCode,
                                       TovikStatus,
                                       EfsDirectory,
                                       EfsWrite,
                                       EfsDelete,
                                       EfsMkDir,
                                       EfsRmDir,
                                       UseClock};
  return api;
}

}  // namespace efstool_test

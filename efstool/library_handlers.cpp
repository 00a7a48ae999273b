#include "efstool/library_handlers.hpp"

#include <cstring>

#include "efstool/run_context.hpp"

namespace efstool {
namespace {

RunContext* g_active = nullptr;

// A device may list a folder's own entries; following them would leave the folder listed.
bool NamesItselfOrParent(const char* path) {
  const char* slash = std::strrchr(path, '/');
  const char* name = slash == nullptr ? path : slash + 1;
  return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0;
}

}  // namespace

ActiveRunContext::ActiveRunContext(RunContext& context) { g_active = &context; }

ActiveRunContext::~ActiveRunContext() { g_active = nullptr; }

bool OnEfs2Progress(const char* source, const char* destination, int operation, int sub_option,
                    int bytes_transferred, int file_size, int context) {
  RunContext* run = g_active;
  if (run == nullptr) return true;
  run->Print("-----------------\n");
  run->Print("         SRC Name: %s\n", source);
  run->Print("         DST Name: %s\n", destination);
  run->Print("        Operation: %d\n", operation);
  run->Print("       Sub Option: %d\n", sub_option);
  run->Print("Bytes Transferred: %d\n", bytes_transferred);
  run->Print("        File Size: %d\n", file_size);
  run->Print("          Context: %d\n", context);
  return true;
}

bool OnEfs2DirEntry(const char* path, uint8_t type, uint16_t attribute_mask, uint8_t buffer_option,
                    uint8_t cleanup_option, int create_date, int file_size, int context) {
  RunContext* run = g_active;
  if (run == nullptr) return true;
  if (!run->missing_probe.empty()) {
    // Only looking for one folder: nothing to report or to delete.
    if (type == 0 && run->missing_probe == path) run->probe_found = true;
    return true;
  }
  run->Print("-----------------\n");
  run->Print("          Name: %s\n", path);
  run->Print("          Type: %s\n", type != 0 ? "File" : "Folder");
  run->Print("Attribute Mask: %d\n", attribute_mask);
  run->Print(" Buffer Option: %d\n", buffer_option);
  run->Print("Cleanup Option: %d\n", cleanup_option);
  run->Print("   Create Date: %d\n", create_date);
  run->Print("     File Size: %d\n", file_size);
  run->Print("       Context: %d\n", context);

  FoundFiles& found = run->found;
  const size_t length = std::strlen(path);
  if (type == 0) {
    if (found.folder_count < FoundFiles::kSlots && length < FoundFiles::kSlotSize &&
        !NamesItselfOrParent(path)) {
      std::memcpy(found.folders[static_cast<size_t>(found.folder_count)].data(), path, length + 1);
      ++found.folder_count;
    }
    return true;
  }
  ++found.listed;
  if (found.count < FoundFiles::kSlots && length < FoundFiles::kSlotSize) {
    std::memcpy(found.paths[static_cast<size_t>(found.count)].data(), path, length + 1);
    ++found.count;
  }
  return true;
}

// The console belongs to the tool's own report: library log lines and raw packets are not
// shown there. These two run on the library's threads, so they touch nothing of the run.
void OnTextLog(int, const void*, int) {}

void OnAsyncMessage(uint16_t, const uint8_t*, int) {}

}  // namespace efstool

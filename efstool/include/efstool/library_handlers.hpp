// The handlers the tool gives the library. The library hands them only an integer context value,
// so they reach the run through one process-wide pointer, set while an ActiveRunContext lives.
// It is set and read on the main thread only: the handlers that use it run on the thread that
// made the library call.
#pragma once

#include <cstdint>

namespace efstool {

struct RunContext;

// Points the handlers at `context` from construction to destruction; without one they report
// nothing and keep nothing.
class ActiveRunContext {
 public:
  explicit ActiveRunContext(RunContext& context);
  ~ActiveRunContext();
  ActiveRunContext(const ActiveRunContext&) = delete;
  ActiveRunContext& operator=(const ActiveRunContext&) = delete;
};

bool OnEfs2Progress(const char* source, const char* destination, int operation, int sub_option,
                    int bytes_transferred, int file_size, int context);
// Prints each entry of a listing and keeps its files and links in the run context's FoundFiles,
// or, while the context has a missing_probe, only looks for that folder.
bool OnEfs2DirEntry(const char* path, uint8_t type, uint16_t attribute_mask, uint8_t buffer_option,
                    uint8_t cleanup_option, int create_date, int file_size, int context);
void OnTextLog(int record_size, const void* record, int context);
void OnAsyncMessage(uint16_t size, const uint8_t* bytes, int context);

}  // namespace efstool

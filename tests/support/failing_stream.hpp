// A read stream that hands out a text and then fails, as a file on a failing disk or a dropped
// network share does (glibc's fopencookie).
#pragma once

#include <stdio.h>

#include <algorithm>
#include <cstdio>
#include <string>

namespace testsupport {

inline std::FILE* StreamFailingAfter(const std::string& text) {
  struct Source {
    std::string text;
    size_t at = 0;
  };
  cookie_io_functions_t io{};
  io.read = [](void* cookie, char* buffer, size_t size) -> ssize_t {
    Source* source = static_cast<Source*>(cookie);
    if (source->at == source->text.size()) return -1;
    const size_t n = std::min(size, source->text.size() - source->at);
    std::copy_n(source->text.data() + source->at, n, buffer);
    source->at += n;
    return static_cast<ssize_t>(n);
  };
  io.close = [](void* cookie) {
    delete static_cast<Source*>(cookie);
    return 0;
  };
  return fopencookie(new Source{text, 0}, "r", io);
}

}  // namespace testsupport

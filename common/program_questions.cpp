#include "common/program_questions.hpp"

#include <cstring>

namespace common {

const char* AnswerToQuestion(int argc, const char* const* argv, const char* usage,
                             const char* version_line) {
  if (argc != 2) return nullptr;
  if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) return usage;
  if (std::strcmp(argv[1], "--version") == 0) return version_line;
  return nullptr;
}

}  // namespace common

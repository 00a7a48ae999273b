// --help, -h and --version asked as the one argument are questions about a program, never a
// run: answering them by starting one would provision whatever device is plugged in.
#pragma once

namespace common {

// The text that answers the command line's question (`usage`, or `version_line`), or nullptr
// when the command line asks for a run.
const char* AnswerToQuestion(int argc, const char* const* argv, const char* usage,
                             const char* version_line);

}  // namespace common

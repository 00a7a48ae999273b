// Programs started by another program of the project (the station runner): each in its own
// working folder, with variables added to the environment it inherits, its console output into
// a file, watched without blocking and stopped when it runs too long.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace platform {

struct ChildSpec {
  std::string program;                 // path of the executable
  std::vector<std::string> arguments;  // after the program's own name
  std::string working_folder;
  // Set in the child on top of the parent's environment (replacing a variable of that name).
  std::vector<std::pair<std::string, std::string>> environment;
  // Standard output and error go here (created or truncated); standard input reads nothing.
  std::string output_file;
};

// Nothing a runner starts outlives it, however the runner ends. POSIX: each child leads a
// process group of its own (so a terminal's Ctrl-C reaches only the runner, which decides) and
// gets SIGKILL when the runner dies (the parent-death signal, armed per child). Windows: each
// child is in a job object that kills it, and whatever it started, when the runner's handle to
// the job closes, which the system does when the runner ends in any way.
class ChildProcess {
 public:
  // A child still running when its owner lets go of it is stopped first: none outlives the
  // runner unwatched.
  virtual ~ChildProcess() = default;
  // Never blocks: true once the child has ended, with its exit code (a child ended by a signal
  // gives 128 + the signal number).
  virtual bool Finished(int* exit_code) = 0;
  // Ends the child and everything it started at once (SIGKILL to its group, the job
  // terminated) and waits for it to be gone.
  virtual void Stop() = 0;
};

// Starts the child; null with a reason when it could not be started (no program, no folder).
// A relative program path is taken from the runner's current folder, not the child's.
// Windows: the child gets no console window of its own, so that a program that hides or shows
// its console cannot take the runner's.
std::unique_ptr<ChildProcess> StartChild(const ChildSpec& launch, std::string* error);

class Clock;

// Waits at most `ms` (through `clock`), and less when a child that StartChild started ends
// meanwhile or has ended since the last such wait, so that a runner learns of the end at once
// rather than at its next look. Windows waits the whole time.
void WaitForAChildToEnd(Clock& clock, uint32_t ms);

// True when such a child has ended since the last call of this or of WaitForAChildToEnd, at
// once; the news is taken, as the wait takes it. Windows never knows.
bool AChildHasEnded();

// The folder of the running program's own executable ("" when it cannot be told).
std::string OwnProgramFolder();

// True when `file` is a program file this platform can start (POSIX: a regular file the user
// may execute; Windows: a file that is there).
bool ProgramRunnable(const std::string& file);

// The executable file of the program `name` in `folder`, as the platform names it.
std::string ProgramFile(const std::string& folder, const std::string& name);

}  // namespace platform

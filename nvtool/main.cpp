#include "nvtool/environment.hpp"
#include "nvtool/run_sequence.hpp"

int main(int argc, char**) {
  const nvtool::Environment env = nvtool::RealEnvironment();
  return nvtool::RunItemsmith(argc - 1, env);
}
